/*
 * mingw-w64's ntddk.h, followed by the few WDK names its DDK lacks (checked
 * against the WDK's documentation): the environment, not the driver, is
 * missing them. Nothing else may be added here, or the check would accept a
 * driver that does not build with the WDK.
 */
#pragma once
#include_next <ntddk.h>

#ifndef EXTERN_C_START
#ifdef __cplusplus
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C_START
#define EXTERN_C_END
#endif
#endif

// The WDK's unordered single-value accessors (wdm.h): plain aligned
// accesses on x64. Only the ones the driver uses.
FORCEINLINE UCHAR ReadUCharNoFence(UCHAR const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteUCharNoFence(UCHAR volatile* Destination, UCHAR Value) { *Destination = Value; }
FORCEINLINE BOOLEAN ReadBooleanNoFence(BOOLEAN const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteBooleanNoFence(BOOLEAN volatile* Destination, BOOLEAN Value) { *Destination = Value; }
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile* Source) { return *Source; }
FORCEINLINE VOID WriteULongNoFence(ULONG volatile* Destination, ULONG Value) { *Destination = Value; }

// RtlQueryRegistryValues' type check (wdm.h, Windows 8 and later).
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_NOSTRING 0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// The cache-line prefetch hint (wdm.h, x64).
#ifndef PreFetchCacheLine
#include <intrin.h>
#define PF_TEMPORAL_LEVEL_1 _MM_HINT_T0
#define PF_NON_TEMPORAL_LEVEL_ALL _MM_HINT_NTA
#define PreFetchCacheLine(l, a) _mm_prefetch((CHAR CONST*)(a), l)
#endif
