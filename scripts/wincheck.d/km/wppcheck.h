/*
 * What a WPP-generated <unit>.tmh gives a kernel-mode unit, for a compile
 * check: the WDK's tracewpp writes these headers at build time and no Linux
 * tool does. The trace macros expand as tracewpp expands them for the
 * configuration in the driver's trace.h (FUNC TraceEvents(LEVEL, FLAGS, MSG,
 * ...)): through trace.h's WPP_LEVEL_FLAGS_ENABLED and WPP_LEVEL_FLAGS_LOGGER,
 * so a flag or level trace.h does not define fails here as it would there.
 * Each message's arguments are compiled; their per-argument type checks
 * against the format are tracewpp's own and are not repeated.
 */
#pragma once

#ifndef WPP_CONTROL_GUIDS
#error "trace.h must define WPP_CONTROL_GUIDS before the unit's .tmh"
#endif

// The WDK's evntrace.h defines the levels; mingw-w64's does not.
#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

// The flag bits, numbered as tracewpp numbers them (in order, from 0).
#define WPP_DEFINE_CONTROL_GUID(Name, Guid, Bits) Bits
#define WPP_DEFINE_BIT(Name) WPP_BIT_##Name,
enum WPP_CHECK_BIT { WPP_CONTROL_GUIDS WPP_CHECK_BIT_COUNT };
#undef WPP_DEFINE_BIT
#undef WPP_DEFINE_CONTROL_GUID

// The provider's control block: its level, flags and logger, and the
// in-flight recorder's log and verbose setting.
typedef struct _WPP_CHECK_CONTROL {
    UCHAR Level;
    ULONG Flags[1];
    ULONG64 Logger;
    PVOID AutoLogContext;
    UCHAR AutoLogVerboseEnabled;
} WPP_CHECK_CONTROL;
static WPP_CHECK_CONTROL WppCheckControl[1];

#define WPP_CONTROL(Bit) (WppCheckControl[(Bit) >> 5])
#define WPP_LEVEL_ENABLED(Flag) ((WPP_CONTROL(WPP_BIT_##Flag).Flags[0] & (1u << (WPP_BIT_##Flag & 31))) != 0)
#define WPP_LEVEL_LOGGER(Flag) (WPP_CONTROL(WPP_BIT_##Flag).Logger)

static inline VOID WppCheckInit(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
}
static inline VOID WppCheckCleanup(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }
static inline VOID WppCheckMessage(ULONG64 Logger, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(Logger);
    UNREFERENCED_PARAMETER(Format);
}

#define WPP_INIT_TRACING(DriverObject, RegistryPath) WppCheckInit((DriverObject), (RegistryPath))
#define WPP_CLEANUP(DriverObject) WppCheckCleanup((DriverObject))
#if TVRX_WPP_RECORDER
// With the in-flight recorder (WppRecorderEnabled in the project), tracewpp
// also writes each message to the recorder through trace.h's
// WPP_RECORDER_LEVEL_FLAGS_FILTER and _ARGS (the log, the level, the flag's bit).
#if !defined(WPP_RECORDER_LEVEL_FLAGS_FILTER) || !defined(WPP_RECORDER_LEVEL_FLAGS_ARGS)
#error "the project enables the in-flight recorder: trace.h must define WPP_RECORDER_LEVEL_FLAGS_FILTER and _ARGS"
#endif
static inline VOID WppCheckRecorder(PVOID AutoLogContext, UCHAR Level, ULONG Bit, PCSTR Format, ...)
{
    UNREFERENCED_PARAMETER(AutoLogContext);
    UNREFERENCED_PARAMETER(Level);
    UNREFERENCED_PARAMETER(Bit);
    UNREFERENCED_PARAMETER(Format);
}
#define WPP_CHECK_RECORD(LEVEL, FLAGS, ...) \
    ((WPP_RECORDER_LEVEL_FLAGS_FILTER(LEVEL, FLAGS)) ? WppCheckRecorder(WPP_RECORDER_LEVEL_FLAGS_ARGS(LEVEL, FLAGS), __VA_ARGS__) : (void)0)
#else
#define WPP_CHECK_RECORD(LEVEL, FLAGS, ...) ((void)0)
#endif

#define TraceEvents(LEVEL, FLAGS, ...)                                                                                  \
    (WPP_CHECK_RECORD(LEVEL, FLAGS, __VA_ARGS__),                                                                        \
     (WPP_LEVEL_FLAGS_ENABLED(LEVEL, FLAGS)) ? WppCheckMessage(WPP_LEVEL_FLAGS_LOGGER(LEVEL, FLAGS), __VA_ARGS__) : (void)0)
