/*
 * Kernel event-tracing services that the trace runtime finds at run time with
 * MmGetSystemRoutineAddress, with the types they take. The classic provider
 * routines are exported only on machines that offer them
 * (Machine::Options::classicEtwProvider); IoWMIRegistrationControl (wdm.h) is
 * always there.
 *
 * A session enables a provider by calling its callback with a
 * TRACE_ENABLE_CONTEXT, whose eight bytes are also the logger handle that
 * WmiTraceMessage and WmiQueryTraceInformation take. In this system every
 * message carries one argument: the runtime's formatted trace record.
 */
#pragma once
#include <wdm.h>

typedef ULONGLONG TRACEHANDLE, *PTRACEHANDLE;
typedef ULONGLONG REGHANDLE, *PREGHANDLE;

typedef struct _TRACE_ENABLE_CONTEXT {
    USHORT LoggerId;
    UCHAR Level;
    UCHAR InternalFlag;
    ULONG EnableFlags;
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;
static_assert(sizeof(TRACE_ENABLE_CONTEXT) == sizeof(TRACEHANDLE), "the enable context is the logger handle");

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1

typedef VOID (*PETW_CLASSIC_CALLBACK)(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext, PVOID CallbackContext);

typedef enum _TRACE_INFORMATION_CLASS {
    TraceIdClass,
    TraceHandleClass,
    TraceEnableFlagsClass,  // ULONG: the session's enable flags
    TraceEnableLevelClass,  // ULONG: the session's level
    GlobalLoggerHandleClass,
    EventLoggerHandleClass,
    AllLoggerHandlesClass,
    TraceHandleByNameClass,
} TRACE_INFORMATION_CLASS;

EXTERN_C_START
NTKERNELAPI NTSTATUS EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type, PETW_CLASSIC_CALLBACK EnableCallback,
                                                PVOID CallbackContext, PREGHANDLE RegHandle);
NTKERNELAPI NTSTATUS EtwUnregister(REGHANDLE RegHandle);
// Arguments after MessageNumber: (PVOID data, SIZE_T length) pairs ended by a NULL data pointer.
NTKERNELAPI NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                     USHORT MessageNumber, ...);
// Buffer holds the TRACEHANDLE the question is about.
NTKERNELAPI NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                              ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer);
EXTERN_C_END

typedef NTSTATUS (*PFN_ETW_REGISTER_CLASSIC_PROVIDER)(LPCGUID, ULONG, PETW_CLASSIC_CALLBACK, PVOID, PREGHANDLE);
typedef NTSTATUS (*PFN_ETW_UNREGISTER)(REGHANDLE);
typedef NTSTATUS (*PFN_WMI_TRACE_MESSAGE)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);
typedef NTSTATUS (*PFN_WMI_QUERY_TRACE_INFORMATION)(TRACE_INFORMATION_CLASS, PVOID, ULONG, PULONG, PVOID);
typedef BOOLEAN (*PFN_PS_GET_VERSION)(PULONG, PULONG, PULONG, PUNICODE_STRING);
