/*
 * The trace runtime behind WPP_INIT_TRACING, TraceEvents and WPP_CLEANUP.
 *
 * Starting registers the provider (as a classic provider when the system
 * exports the routines for it, otherwise through WMI) and starts the driver's
 * in-flight recorder log. A registration that fails leaves tracing to the
 * recorder alone. Every trace goes to the recorder, and goes on to the live
 * session only when the session enabled the provider for its level and one of
 * its flags; with no session that check is one atomic load. A trace that the
 * session does not take is kept with its arguments and formatted only when
 * the recorder is read: each trace statement (site) has its format planned
 * once, the first time it runs. The control block lives outside the image, so
 * a session that outlives a careless driver never calls into an unloaded image.
 */
#define WPP_RUNTIME
#include <wppruntime.h>

#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "base/status.h"
#include "machine/hardware.h"
#include "ntos/ke/irql.h"
#include "wpp/etw.h"
#include "wpp/recorder.h"
#include "wpp/wmi.h"
#include "wpp/wpp.h"

namespace {

using plat::trace::Registration;

constexpr size_t kMaxFlags = 32;
// Trace statements a driver may have whose traces are kept for later; more are formatted at once.
constexpr size_t kSiteSlots = 4096;

// A trace statement of the image, known by where its strings lie in the image.
struct Site : plat::trace::TraceSite {
    const char* formatKey = nullptr;
    const char* functionKey = nullptr;
    const char* unitKey = nullptr;
};

struct ControlBlock {
    GUID control{};
    PDRIVER_OBJECT driver = nullptr;
    std::string flagNameText[kMaxFlags];
    const char* flagNames[kMaxFlags] = {};
    size_t flagCount = 0;

    Registration how = Registration::None;
    REGHANDLE regHandle = 0;
    PFN_ETW_UNREGISTER etwUnregister = nullptr;
    PFN_WMI_TRACE_MESSAGE traceMessage = nullptr;
    PFN_WMI_QUERY_TRACE_INFORMATION queryInformation = nullptr;
    bool versionKnown = false;
    ULONG osMajor = 0;

    PVOID autoLog = nullptr;

    // The image's trace statements, found without a lock; made under siteLock.
    std::atomic<Site*> sites[kSiteSlots] = {};
    std::mutex siteLock;
    std::vector<std::unique_ptr<Site>> siteStore;

    // What the live session asked for; flags are stored last and read first.
    std::atomic<ULONG> enableFlags{0};
    std::atomic<UCHAR> enableLevel{0};
    std::atomic<TRACEHANDLE> logger{0};
};

PVOID Lookup(const wchar_t* name)
{
    UNICODE_STRING routine;
    routine.Buffer = const_cast<PWSTR>(name);
    routine.Length = static_cast<USHORT>(wcslen(name) * sizeof(WCHAR));
    routine.MaximumLength = static_cast<USHORT>(routine.Length + sizeof(WCHAR));
    return MmGetSystemRoutineAddress(&routine);
}

template <size_t N>
void CopyText(char (&to)[N], const char* from)
{
    size_t length = 0;
    if (from != nullptr) {
        length = strnlen(from, N - 1);
        memcpy(to, from, length);
    }
    to[length] = '\0';
}

LONGLONG MachineTime()
{
    plat::Hardware* machine = plat::Hardware::CurrentOrNull();
    return machine != nullptr ? machine->Clock().Now() : 0;
}

void Disable(ControlBlock* block)
{
    block->enableFlags.store(0, std::memory_order_release);
    block->logger.store(0, std::memory_order_relaxed);
    block->enableLevel.store(0, std::memory_order_relaxed);
}

// A session enables or disables the provider. Runs under the tracing control
// lock, so the block cannot be freed meanwhile.
VOID WppControlCallback(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext, PVOID CallbackContext)
{
    UNREFERENCED_PARAMETER(Guid);
    auto* block = static_cast<ControlBlock*>(CallbackContext);
    if (ControlCode != EVENT_CONTROL_CODE_ENABLE_PROVIDER || EnableContext == nullptr) {
        Disable(block);
        return;
    }
    TRACEHANDLE logger;
    memcpy(&logger, EnableContext, sizeof logger);
    ULONG flags = 0;
    ULONG level = 0;
    if (block->queryInformation == nullptr ||
        !NT_SUCCESS(block->queryInformation(TraceEnableFlagsClass, &flags, sizeof flags, nullptr, &logger)) ||
        !NT_SUCCESS(block->queryInformation(TraceEnableLevelClass, &level, sizeof level, nullptr, &logger))) {
        Disable(block);
        return;
    }
    // Level 0 asks for every level.
    UCHAR highest = level == 0 ? 0xFF : static_cast<UCHAR>(std::min<ULONG>(level, 0xFF));
    block->enableLevel.store(highest, std::memory_order_relaxed);
    block->logger.store(logger, std::memory_order_relaxed);
    block->enableFlags.store(flags, std::memory_order_release);
}

void Describe(ControlBlock* block, PDRIVER_OBJECT driver, const WPP_PROVIDER* provider)
{
    block->control = *provider->ControlGuid;
    block->driver = driver;
    block->flagCount = provider->FlagNames != nullptr ? std::min<size_t>(provider->FlagCount, kMaxFlags) : 0;
    for (size_t bit = 0; bit < block->flagCount; ++bit) {
        if (provider->FlagNames[bit] != nullptr) {
            block->flagNameText[bit] = provider->FlagNames[bit];
            block->flagNames[bit] = block->flagNameText[bit].c_str();
        }
    }
}

void LookUpServices(ControlBlock* block)
{
    block->etwUnregister = reinterpret_cast<PFN_ETW_UNREGISTER>(Lookup(L"EtwUnregister"));
    block->traceMessage = reinterpret_cast<PFN_WMI_TRACE_MESSAGE>(Lookup(L"WmiTraceMessage"));
    block->queryInformation = reinterpret_cast<PFN_WMI_QUERY_TRACE_INFORMATION>(Lookup(L"WmiQueryTraceInformation"));
    auto getVersion = reinterpret_cast<PFN_PS_GET_VERSION>(Lookup(L"PsGetVersion"));
    if (getVersion != nullptr) {
        getVersion(&block->osMajor, nullptr, nullptr, nullptr);
        block->versionKnown = true;
    }
}

NTSTATUS Register(ControlBlock* block)
{
    auto etwRegister = reinterpret_cast<PFN_ETW_REGISTER_CLASSIC_PROVIDER>(Lookup(L"EtwRegisterClassicProvider"));
    // Classic providers came with version 6; a system that says it is older has none.
    bool classic = etwRegister != nullptr && block->etwUnregister != nullptr &&
                   (!block->versionKnown || block->osMajor >= 6);
    if (classic) {
        NTSTATUS status = etwRegister(&block->control, 0, WppControlCallback, block, &block->regHandle);
        if (NT_SUCCESS(status)) {
            block->how = Registration::Classic;
        }
        return status;
    }
    if (block->driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // WMI knows the registrant by the object it was given: here the driver object.
    plat::wmi::SetTraceInfo(block->driver, block->control, WppControlCallback, block);
    NTSTATUS status = IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(block->driver), WMIREG_ACTION_REGISTER);
    if (NT_SUCCESS(status)) {
        block->how = Registration::Wmi;
    } else {
        plat::wmi::ClearTraceInfo(block->driver);
    }
    return status;
}

void Unregister(ControlBlock* block)
{
    if (block->how == Registration::Classic) {
        block->etwUnregister(block->regHandle);
    } else if (block->how == Registration::Wmi) {
        IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(block->driver), WMIREG_ACTION_DEREGISTER);
        plat::wmi::ClearTraceInfo(block->driver);
    }
    block->how = Registration::None;
    Disable(block);
}

bool SameSite(const Site* site, const char* format, ULONG line, const char* function, const char* unit)
{
    return site->formatKey == format && site->line == line && site->functionKey == function && site->unitKey == unit;
}

std::unique_ptr<Site> MakeSite(ControlBlock* block, const GUID* message, const char* unit, ULONG line,
                               const char* function, const char* format)
{
    auto site = std::make_unique<Site>();
    site->formatKey = format;
    site->functionKey = function;
    site->unitKey = unit;
    site->line = line;
    if (message != nullptr) {
        site->message = *message;
    }
    CopyText(site->unit, unit);
    CopyText(site->function, function);
    site->format = format;
    site->plan = plat::trace::PlanArguments(format);
    site->flagNames = block->flagNames;
    site->flagCount = block->flagCount;
    // %!FUNC! and %!COMPNAME! must not come out shorter than the names themselves.
    if (unit == nullptr || function == nullptr || strnlen(unit, sizeof site->unit) == sizeof site->unit ||
        strnlen(function, sizeof site->function) == sizeof site->function) {
        site->plan.capturable = false;
    }
    return site;
}

// The site of a trace statement, made the first time it runs; nullptr when
// there is no room for another (its traces are then formatted at once).
const Site* FindSite(ControlBlock* block, const GUID* message, const char* unit, ULONG line, const char* function,
                     const char* format)
{
    if (format == nullptr) {
        return nullptr;
    }
    size_t start = ((reinterpret_cast<uintptr_t>(format) >> 3) * 0x9E3779B97F4A7C15ull + line) >> 52;
    for (size_t probe = 0; probe < 32; ++probe) {
        std::atomic<Site*>& slot = block->sites[(start + probe) % kSiteSlots];
        Site* site = slot.load(std::memory_order_acquire);
        if (site == nullptr) {
            try {
                std::lock_guard<std::mutex> guard(block->siteLock);
                site = slot.load(std::memory_order_acquire);
                if (site == nullptr) {
                    block->siteStore.push_back(MakeSite(block, message, unit, line, function, format));
                    site = block->siteStore.back().get();
                    slot.store(site, std::memory_order_release);
                    return site;
                }
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        if (SameSite(site, format, line, function, unit)) {
            return site;
        }
    }
    return nullptr;
}

// A note of the runtime's own in the driver's recorder log.
void RecordNote(ControlBlock* block, UCHAR level, const char* function, const char* format, NTSTATUS status)
{
    plat::trace::Record record;
    record.time = MachineTime();
    record.level = level;
    CopyText(record.unit, "wpp");
    CopyText(record.function, function);
    plat::trace::FormatTrace(record.text, sizeof record.text, plat::trace::FormatContext{}, format, status);
    WppAutoLogTrace(block->autoLog, &record);
}

}  // namespace

EXTERN_C_START

VOID WppInitKm(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath, const WPP_PROVIDER* Provider,
               PVOID* Control)
{
    if (Control == nullptr || Provider == nullptr || Provider->ControlGuid == nullptr ||
        __atomic_load_n(Control, __ATOMIC_ACQUIRE) != nullptr) {
        return;
    }
    plat::RequirePassive(__func__);
    ControlBlock* block = nullptr;
    try {
        block = new ControlBlock;
        Describe(block, DriverObject, Provider);
    } catch (const std::bad_alloc&) {
        delete block;
        return;  // no tracing at all, as when the runtime cannot allocate its block
    }
    LookUpServices(block);
    NTSTATUS status = Register(block);
    block->autoLog = WppAutoLogStart(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        RecordNote(block, TRACE_LEVEL_WARNING, __func__,
                   "trace provider not registered %!STATUS!; tracing to this log only", status);
    }
    __atomic_store_n(Control, block, __ATOMIC_RELEASE);
}

VOID WppCleanupKm(PDRIVER_OBJECT DriverObject, PVOID* Control)
{
    if (Control == nullptr) {
        return;
    }
    auto* block = static_cast<ControlBlock*>(__atomic_exchange_n(Control, nullptr, __ATOMIC_ACQ_REL));
    if (block == nullptr) {
        return;  // never started, or stopped already
    }
    plat::RequirePassive(__func__);
    Unregister(block);
    WppAutoLogStop(DriverObject != nullptr ? DriverObject : block->driver, block->autoLog);
    delete block;
}

VOID WppTraceMessage(PVOID Control, const GUID* MessageGuid, PCSTR Unit, ULONG Line, PCSTR Function, UCHAR Level,
                     ULONG Flags, PCSTR Format, ...)
{
    auto* block = static_cast<ControlBlock*>(Control);
    if (block == nullptr) {
        return;  // tracing not started: as in a kernel image, the trace goes nowhere
    }
    ULONG enabled = block->enableFlags.load(std::memory_order_acquire);
    bool live = (enabled & Flags) != 0 && Level <= block->enableLevel.load(std::memory_order_relaxed);
    if (!live) {
        // Only the recorder wants it: keep the arguments, format when the log is read.
        const Site* site = FindSite(block, MessageGuid, Unit, Line, Function, Format);
        if (site != nullptr && site->plan.capturable) {
            va_list args;
            va_start(args, Format);
            WppAutoLogTraceDeferred(block->autoLog, site, Level, Flags, args);
            va_end(args);
            return;
        }
    }

    plat::trace::Record record;
    record.time = MachineTime();
    if (MessageGuid != nullptr) {
        record.message = *MessageGuid;
    }
    record.line = Line;
    record.level = Level;
    record.flags = Flags;
    CopyText(record.unit, Unit);
    CopyText(record.function, Function);
    plat::trace::FormatContext context;
    context.function = Function;
    context.unit = Unit;
    context.line = Line;
    context.level = Level;
    context.flags = Flags;
    context.flagNames = block->flagNames;
    context.flagCount = block->flagCount;
    va_list args;
    va_start(args, Format);
    plat::trace::FormatTraceV(record.text, sizeof record.text, context, Format, args);
    va_end(args);

    WppAutoLogTrace(block->autoLog, &record);

    if (!live) {
        return;
    }
    TRACEHANDLE logger = block->logger.load(std::memory_order_relaxed);
    if (logger != 0 && block->traceMessage != nullptr) {
        block->traceMessage(logger, 0, &record.message, static_cast<USHORT>(Line), &record, sizeof record, nullptr);
    }
}

EXTERN_C_END
