/*
 * Software tracing runtime for kernel-mode images, included from each source
 * unit's generated trace-message header (<unit>.tmh) after the driver's
 * trace.h has defined WPP_CONTROL_GUIDS. It gives the unit the provider's
 * control GUID, its flag names, WPP_INIT_TRACING/WPP_CLEANUP and TraceEvents.
 *
 * TraceEvents(level, flags, format, ...) takes printf conversions at Windows
 * widths (%d %u %x are 32-bit, so are %ld %lu %lx; %lld %I64x are 64-bit;
 * %Iu %Ix %zu pointer-sized) plus %!FUNC! (the routine's name), %!STATUS! (an
 * NTSTATUS, shown by name), %!LEVEL!, %!FLAGS!, %!GUID! (a GUID*), %ws (a wide
 * string) and %wZ (a PCUNICODE_STRING).
 *
 * The runtime itself lives outside the image; the image keeps only the handle
 * of its trace control block (WppGlobalControl), as a traced image would.
 */
#pragma once

#include <ntddk.h>

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

// What the runtime learns about the provider when tracing starts.
typedef struct _WPP_PROVIDER {
    const GUID* ControlGuid;
    PCSTR Name;
    const PCSTR* FlagNames;  // by bit index
    ULONG FlagCount;
} WPP_PROVIDER;

EXTERN_C_START
VOID WppInitKm(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath, const WPP_PROVIDER* Provider,
               PVOID* Control);
VOID WppCleanupKm(PDRIVER_OBJECT DriverObject, PVOID* Control);
VOID WppTraceMessage(PVOID Control, const GUID* MessageGuid, PCSTR Unit, ULONG Line, PCSTR Function, UCHAR Level,
                     ULONG Flags, PCSTR Format, ...);
EXTERN_C_END

// The runtime itself includes only the part above.
#ifndef WPP_RUNTIME
#ifndef WPP_CONTROL_GUIDS
#error "WPP_CONTROL_GUIDS must be defined (trace.h) before the unit's .tmh is included"
#endif

constexpr GUID WppMakeGuid(ULONG a, USHORT b, USHORT c, USHORT d, ULONGLONG e)
{
    return GUID{a, b, c,
                {(UCHAR)(d >> 8), (UCHAR)d, (UCHAR)(e >> 40), (UCHAR)(e >> 32), (UCHAR)(e >> 24),
                 (UCHAR)(e >> 16), (UCHAR)(e >> 8), (UCHAR)e}};
}
#define WPP_PARSE_GUID_(a, b, c, d, e) WppMakeGuid(0x##a, 0x##b, 0x##c, 0x##d, 0x##e##ULL)

// WPP_CONTROL_GUIDS is expanded once per thing it describes: the GUID, the
// provider's name, the bit indexes, the flag values and the flag names.
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) WPP_PARSE_GUID_ Guid
#define WPP_DEFINE_BIT(Name)
static constexpr GUID WppControlGuid = WPP_CONTROL_GUIDS;
#undef WPP_DEFINE_CONTROL_GUID
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) #Name
static constexpr PCSTR WppProviderName = WPP_CONTROL_GUIDS;
#undef WPP_DEFINE_CONTROL_GUID
#undef WPP_DEFINE_BIT

#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) Bits
#define WPP_DEFINE_BIT(Name) WPP_BIT_##Name,
enum WppBitIndex { WPP_CONTROL_GUIDS WPP_BIT_COUNT_ };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Name) Name = 1u << WPP_BIT_##Name,
enum WppFlag : ULONG { WPP_CONTROL_GUIDS };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Name) #Name,
static constexpr PCSTR WppFlagNames[] = {WPP_CONTROL_GUIDS NULL};
#undef WPP_DEFINE_BIT
#undef WPP_DEFINE_CONTROL_GUID

static constexpr WPP_PROVIDER WppProvider = {&WppControlGuid, WppProviderName, WppFlagNames, WPP_BIT_COUNT_};

// The image's trace control block, set by WPP_INIT_TRACING and cleared by
// WPP_CLEANUP; one per image (hidden, so another image never shares it).
__attribute__((weak, visibility("hidden"))) PVOID WppGlobalControl = NULL;

#define WPP_INIT_TRACING(DriverObject, RegistryPath) \
    WppInitKm((DriverObject), (RegistryPath), &WppProvider, &WppGlobalControl)
#define WPP_CLEANUP(DriverObject) WppCleanupKm((DriverObject), &WppGlobalControl)
#define TraceEvents(Level, Flags, ...)                                                                    \
    WppTraceMessage(__atomic_load_n(&WppGlobalControl, __ATOMIC_ACQUIRE), &WppThisUnitMessageGuid,        \
                    WPP_THIS_UNIT_NAME, __LINE__, __func__, (UCHAR)(Level), (ULONG)(Flags), __VA_ARGS__)

#endif  // WPP_RUNTIME
