/*
 * Software tracing runtime for kernel-mode images, included from each source
 * unit's generated trace-message header (<unit>.tmh) after the driver's
 * trace.h has defined WPP_CONTROL_GUIDS. It gives the unit the provider's
 * control GUID, its flag names, WPP_INIT_TRACING/WPP_CLEANUP and TraceEvents.
 *
 * TraceEvents(level, flags, format, ...) takes printf conversions plus
 * %!FUNC! (the routine's name) and %!STATUS! (an NTSTATUS, shown by name),
 * %ws (a wide string) and %wZ (a PCUNICODE_STRING).
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

// WPP_CONTROL_GUIDS is expanded three times: for the GUID, the bit indexes, the flag values.
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) WPP_PARSE_GUID_ Guid
#define WPP_DEFINE_BIT(Name)
static constexpr GUID WppControlGuid = WPP_CONTROL_GUIDS;
#undef WPP_DEFINE_CONTROL_GUID
#undef WPP_DEFINE_BIT

#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) Bits
#define WPP_DEFINE_BIT(Name) WPP_BIT_##Name,
enum WppBitIndex { WPP_CONTROL_GUIDS WPP_BIT_COUNT_ };
#undef WPP_DEFINE_BIT
#define WPP_DEFINE_BIT(Name) Name = 1u << WPP_BIT_##Name,
enum WppFlag : ULONG { WPP_CONTROL_GUIDS };
#undef WPP_DEFINE_BIT
#undef WPP_DEFINE_CONTROL_GUID

EXTERN_C_START
VOID WppInitKm(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath, const GUID* ControlGuid);
VOID WppCleanupKm(PDRIVER_OBJECT DriverObject);
VOID WppTraceMessage(const GUID* MessageGuid, PCSTR Unit, ULONG Line, PCSTR Function, UCHAR Level, ULONG Flags,
                     PCSTR Format, ...);
EXTERN_C_END

#define WPP_INIT_TRACING(DriverObject, RegistryPath) WppInitKm((DriverObject), (RegistryPath), &WppControlGuid)
#define WPP_CLEANUP(DriverObject) WppCleanupKm(DriverObject)
#define TraceEvents(Level, Flags, ...) \
    WppTraceMessage(&WppThisUnitMessageGuid, WPP_THIS_UNIT_NAME, __LINE__, __func__, (Level), (Flags), __VA_ARGS__)
