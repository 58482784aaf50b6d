/*
 * The classic event-tracing services: provider registration, trace messages
 * and queries about a session. Exported to MmGetSystemRoutineAddress; the
 * registration routines only where the machine offers classic providers.
 */
#include "wpp/etw.h"

#include <stdarg.h>
#include <string.h>

#include "base/fault.h"
#include "machine/hardware.h"
#include "ntos/ke/irql.h"
#include "ntos/mm/sysroutine.h"
#include "wpp/control.h"

namespace {

bool ClassicProvidersOffered()
{
    plat::Hardware* machine = plat::Hardware::CurrentOrNull();
    return machine == nullptr || machine->options().classicEtwProvider;
}

const plat::SystemRoutine g_exports[] = {
    {"EtwRegisterClassicProvider", reinterpret_cast<void*>(&EtwRegisterClassicProvider), ClassicProvidersOffered},
    {"EtwUnregister", reinterpret_cast<void*>(&EtwUnregister), ClassicProvidersOffered},
    {"WmiTraceMessage", reinterpret_cast<void*>(&WmiTraceMessage)},
    {"WmiQueryTraceInformation", reinterpret_cast<void*>(&WmiQueryTraceInformation)},
};

}  // namespace

extern "C" {

NTSTATUS EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type, PETW_CLASSIC_CALLBACK EnableCallback,
                                    PVOID CallbackContext, PREGHANDLE RegHandle)
{
    UNREFERENCED_PARAMETER(Type);
    plat::RequirePassive(__func__);
    if (ProviderGuid == nullptr || RegHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RegHandle = 0;
    NTSTATUS status = plat::fault::Check("EtwRegisterClassicProvider");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *RegHandle = plat::trace::control::Add(ProviderGuid, plat::trace::Registration::Classic, EnableCallback,
                                           CallbackContext, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS EtwUnregister(REGHANDLE RegHandle)
{
    plat::RequirePassive(__func__);
    return plat::trace::control::Remove(RegHandle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                         ...)
{
    UNREFERENCED_PARAMETER(MessageFlags);
    UNREFERENCED_PARAMETER(MessageGuid);
    UNREFERENCED_PARAMETER(MessageNumber);
    va_list args;
    // The last named parameter is a USHORT because the kernel's declaration says
    // so; the x86-64 va_start never reads it, so its promotion is harmless here.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, MessageNumber);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    PVOID data = va_arg(args, PVOID);
    SIZE_T length = data != nullptr ? va_arg(args, SIZE_T) : 0;
    bool single = data != nullptr && va_arg(args, PVOID) == nullptr;
    va_end(args);
    if (!single || length != sizeof(plat::trace::Record)) {
        return STATUS_INVALID_PARAMETER;
    }
    return plat::trace::control::Deliver(LoggerHandle, *static_cast<const plat::trace::Record*>(data));
}

NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                  ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer)
{
    if (TraceInformationClass != TraceEnableFlagsClass && TraceInformationClass != TraceEnableLevelClass) {
        return STATUS_NOT_SUPPORTED;
    }
    if (RequiredLength != nullptr) {
        *RequiredLength = sizeof(ULONG);
    }
    if (Buffer == nullptr || TraceInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (TraceInformationLength < sizeof(ULONG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    TRACEHANDLE logger;
    memcpy(&logger, Buffer, sizeof logger);
    if (!plat::trace::control::LoggerLive(logger)) {
        return STATUS_INVALID_HANDLE;
    }
    TRACE_ENABLE_CONTEXT context;
    memcpy(&context, &logger, sizeof context);
    ULONG value = TraceInformationClass == TraceEnableFlagsClass ? context.EnableFlags : context.Level;
    memcpy(TraceInformation, &value, sizeof value);
    return STATUS_SUCCESS;
}

}  // extern "C"
