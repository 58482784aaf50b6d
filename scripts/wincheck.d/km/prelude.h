/*
 * Forced first into every kernel-mode unit the Windows check compiles. Each
 * item is a difference between this tool chain (mingw-w64's headers with GCC
 * or Clang) and the WDK with MSVC, never a change to what the driver may use.
 */
#pragma once

// mingw-w64's ddk/wdm.h defines InterlockedBitTestAndSet/Reset again after
// its intrin.h has; these are the guards intrin.h itself checks.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The WDK defines ALLOC_PRAGMA for x64 kernel mode; mingw-w64 only under MSVC.
#ifndef ALLOC_PRAGMA
#define ALLOC_PRAGMA 1
#endif

#if !defined(__clang__)
// WDF_DECLARE_TYPE_AND_GLOBALS writes `extern "C" ... extern const X = {...}`,
// which MSVC and Clang's MSVC mode accept and GCC rejects; wdf.h lets the
// build choose WDF_EXTERN_C (and then the block markers it would define).
#define WDF_EXTERN_C
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }

// GCC has no structured exception handling. Mapped to if / else if, the
// guarded block and the handler are both still compiled and type-checked.
#define __try if (1)
#define __except(Filter) else if ((Filter) != 0)
#endif
