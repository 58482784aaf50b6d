/* The debug view: reads the driver's device context and globals. */
#include "debugview.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "system/host.h"
#include "tvrx.h"
#include "wdf/device.h"
#include "wdf/queue.h"

namespace tvrx::debugview {

const Limits& DriverLimits()
{
    static const Limits limits = {TVRX_DSM_OUTPUT_SIZE,
                                  TVRX_DEVICE_MODE_TABLE_COUNT_MAX,
                                  TVRX_DEVICE_MODE_MATCH_MAX,
                                  TVRX_BIOS_SAR_STATE_CURRENT,
                                  TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE,
                                  TVRX_DEVICE_MODE_ENTRIES_MAX,
                                  TVRX_POOL_TAG,
                                  TVRX_SAR_POOL_TAG};
    return limits;
}

static_assert(kDeviceCreated == TVRX_DEVICE_STATE_CREATED && kDevicePrepared == TVRX_DEVICE_STATE_PREPARED &&
                  kDevicePrepareFailed == TVRX_DEVICE_STATE_PREPARE_FAILED &&
                  kDeviceReleased == TVRX_DEVICE_STATE_RELEASED,
              "the view's device states are the driver's");
static_assert(kSarChecking == TVRX_BIOS_SAR_STATE_CHECKING && kSarCurrent == TVRX_BIOS_SAR_STATE_CURRENT &&
                  kSarBadResult == TVRX_BIOS_SAR_STATE_BAD_RESULT &&
                  kSarReadFailed == TVRX_BIOS_SAR_STATE_READ_FAILED &&
                  kSarWriteFailed == TVRX_BIOS_SAR_STATE_WRITE_FAILED,
              "the view's BiosSarState values are the driver's");

namespace {

// Walks the app-instance list. A list head that was never set up (a device
// before its context was filled in) reads as no instances; a walk stops at a
// link whose successor does not link back, or after more links than any
// list of the machine could hold, and the list then reads as unsound.
void ReadClients(const TVRX_DEVICE_CONTEXT* c, Device* view)
{
    const size_t kMostLinks = 1u << 20;
    const LIST_ENTRY* head = &c->AppInstanceListHead;
    for (const LIST_ENTRY* link = head->Flink; link != nullptr && link != head; link = link->Flink) {
        const TVRX_APP_INSTANCE_NODE* node = CONTAINING_RECORD(link, TVRX_APP_INSTANCE_NODE, ListEntry);
        view->clients.push_back({node->FileObject, node->ClientEvent});
        view->appInstancesWithEvent += node->ClientEvent != nullptr;
        if (link->Flink == nullptr || link->Flink->Blink != link || view->clients.size() > kMostLinks) {
            view->clientListSound = false;
            break;
        }
    }
    if (head->Flink != nullptr && (head->Flink->Blink != head || head->Blink == nullptr || head->Blink->Flink != head)) {
        view->clientListSound = false;
    }
    view->appInstances = view->clients.size();
}

// Whether the context holds nothing but what the driver's device-add sets
// up first: its two locks, an empty list head and its notification gate.
bool Untouched(const TVRX_DEVICE_CONTEXT* c)
{
    TVRX_DEVICE_CONTEXT expected;
    std::memset(&expected, 0, sizeof expected);
    expected.AppInstanceListLock = c->AppInstanceListLock;
    expected.ModeReadLock = c->ModeReadLock;
    expected.NotifyGate = c->NotifyGate;  // the handler's gate, closed
    expected.AppInstanceListHead = c->AppInstanceListHead;
    const bool emptyList = c->AppInstanceListHead.Flink == &c->AppInstanceListHead &&
                           c->AppInstanceListHead.Blink == &c->AppInstanceListHead;
    return emptyList && std::memcmp(&expected, c, sizeof expected) == 0;
}

}  // namespace

Device ReadDevice(WDFDEVICE device)
{
    const TVRX_DEVICE_CONTEXT* c = TvrxGetDeviceContext(device);
    Device view;
    view.deviceState = ReadULongNoFence(&c->DeviceState);
    view.currentDeviceMode = ReadULongNoFence(&c->CurrentDeviceMode);
    view.regulatoryType = ReadULongNoFence(&c->RegulatoryType);
    view.tablesValid = c->DeviceModeTablesValid != FALSE;
    view.acpiInterfaceAcquired = c->AcpiInterfaceAcquired != FALSE;
    view.notificationsRegistered = c->AcpiNotificationsRegistered != FALSE;
    view.sarTableAddress = c->SarTablePhysicalAddress;
    view.sarTableLength = c->SarTableLength;
    for (const TVRX_DEVICE_MODE_TABLE& table : c->DeviceModeTables) {
        ModeTable t;
        t.tag = table.TableTag;
        t.entryCount = table.EntryCount;
        t.maxMode = table.MaxDeviceMode;
        for (ULONG e = 0; e < table.EntryCount && e < TVRX_DEVICE_MODE_ENTRIES_MAX; ++e) {
            const TVRX_DEVICE_MODE_ENTRY& entry = table.Entries[e];
            t.rows.push_back({entry.DeviceMode, entry.Value1, entry.Value2, entry.Value3});
        }
        view.tables.push_back(std::move(t));
    }
    view.hardwarePrepared = c->HardwarePrepared != FALSE;
    view.notifyGate = c->NotifyGate;
    if (c->NotifyGate != nullptr) {
        view.notificationsOpen = ReadNoFence(&c->NotifyGate->Open);
        view.notifyCallsInFlight = ReadNoFence(&c->NotifyGate->CallsInFlight);
    }
    view.clientListLock = c->AppInstanceListLock;
    view.modeReadLock = c->ModeReadLock;
    ReadClients(c, &view);
    return view;
}

Device ReadDeviceAtRest(WDFDEVICE device)
{
    Device view = ReadDevice(device);
    const TVRX_DEVICE_CONTEXT* c = TvrxGetDeviceContext(device);
    view.modeTicket = ReadNoFence(&c->DeviceModeTicket);
    view.modeRecord = __atomic_load_n(&c->DeviceModeRecord, __ATOMIC_RELAXED);
    view.modeReadPending = c->ModeReadPending != FALSE;
    view.modeReadItemQueued = c->ModeReadItemQueued != FALSE;
    view.modeReadItems = ReadULongNoFence(&c->ModeReadItems);
    view.untouched = Untouched(c);
    return view;
}

Gate ReadGate(const void* gate)
{
    const auto* g = static_cast<const TVRX_NOTIFY_GATE*>(gate);
    return Gate{ReadNoFence(&g->Open), ReadNoFence(&g->CallsInFlight)};
}

uint32_t ReadDeviceMode(WDFDEVICE device)
{
    return ReadULongNoFence(&TvrxGetDeviceContext(device)->CurrentDeviceMode);
}

volatile void* DeviceModeAddress(WDFDEVICE device)
{
    return &TvrxGetDeviceContext(device)->CurrentDeviceMode;
}

volatile void* DeviceModeRecordAddress(WDFDEVICE device)
{
    return &TvrxGetDeviceContext(device)->DeviceModeRecord;
}

size_t HeldRequests(WDFDEVICE device)
{
    auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(device, plat::wdf::FxType::Device, "debug view");
    plat::wdf::FxQueue* queue = fx->defaultQueue;
    if (queue == nullptr) {
        return 0;
    }
    // The one lock the view takes: the framework changes the list under it on other threads.
    std::lock_guard<std::mutex> guard(queue->holdLock);
    return queue->held.size();
}

std::optional<uint32_t> ReadBiosSarState(const plat::Host& host)
{
    auto* state = static_cast<const ULONG*>(host.Symbol("BiosSarState"));
    if (state == nullptr) {
        return std::nullopt;
    }
    return ReadULongNoFence(state);
}

// ---------------------------------------------------------------- writes

namespace {

TVRX_DEVICE_MODE_TABLE& TableOf(WDFDEVICE device, size_t table)
{
    if (table >= TVRX_DEVICE_MODE_TABLE_COUNT_MAX) {
        throw std::out_of_range("the driver holds no device-mode table " + std::to_string(table));
    }
    return TvrxGetDeviceContext(device)->DeviceModeTables[table];
}

// The link of the app instance at `index` in list order.
LIST_ENTRY* InstanceLink(WDFDEVICE device, size_t index)
{
    LIST_ENTRY* head = &TvrxGetDeviceContext(device)->AppInstanceListHead;
    LIST_ENTRY* link = head->Flink;
    for (size_t i = 0; i < index && link != head; ++i) {
        link = link->Flink;
    }
    if (link == head) {
        throw std::out_of_range("the device has no app instance " + std::to_string(index));
    }
    return link;
}

}  // namespace

void PokeTableEntry(WDFDEVICE device, size_t table, size_t index, const ModeRow& row)
{
    if (index >= TVRX_DEVICE_MODE_ENTRIES_MAX) {
        throw std::out_of_range("a device-mode table holds no entry " + std::to_string(index));
    }
    TVRX_DEVICE_MODE_ENTRY& entry = TableOf(device, table).Entries[index];
    entry.DeviceMode = UCHAR(row.mode);
    entry.Value1 = row.value1;
    entry.Value2 = row.value2;
    entry.Value3 = row.value3;
}

void PokeTableEntryCount(WDFDEVICE device, size_t table, uint32_t entryCount)
{
    WriteULongNoFence(&TableOf(device, table).EntryCount, entryCount);
}

void PokeTableMaxMode(WDFDEVICE device, size_t table, unsigned maxMode)
{
    WriteUCharNoFence(&TableOf(device, table).MaxDeviceMode, UCHAR(maxMode));
}

void PokeAcpiUnregisterRoutineAway(WDFDEVICE device)
{
    TvrxGetDeviceContext(device)->AcpiInterface.UnregisterForDeviceNotifications = nullptr;
}

void PokeInstanceBackLink(WDFDEVICE device, size_t index, bool corrupt)
{
    LIST_ENTRY* link = InstanceLink(device, index);
    if (corrupt) {
        link->Blink = link;
        return;
    }
    // Its predecessor in list order: the head for the first instance.
    LIST_ENTRY* head = &TvrxGetDeviceContext(device)->AppInstanceListHead;
    link->Blink = index == 0 ? head : InstanceLink(device, index - 1);
}

// ---------------------------------------------------------------- calls

namespace {

template <class F>
F RoutineOf(const plat::Host& host, const char* name)
{
    F routine = host.Routine<F>(name);
    if (routine == nullptr) {
        throw std::runtime_error(std::string("the loaded image has no routine ") + name);
    }
    return routine;
}

#define TVRX_VIEW_ROUTINE(host, name) RoutineOf<decltype(&name)>(host, #name)

// A value no result stores in an entry: the walk's writes are told apart by it.
constexpr UCHAR kUnwritten = 0xEE;

struct GuardedTable {
    TVRX_DEVICE_MODE_TABLE table;
    UCHAR after[64];
};

bool Unwritten(const TVRX_DEVICE_MODE_ENTRY& entry)
{
    ULONG unwritten;
    std::memset(&unwritten, kUnwritten, sizeof unwritten);
    return entry.Value1 == unwritten;
}

}  // namespace

ParsedTable ParseTableResult(const plat::Host& host, const std::vector<uint8_t>& bytes, uint32_t entryCount,
                             const std::vector<ModeRow>& before, unsigned maxMode)
{
    auto guarded = std::make_unique<GuardedTable>();
    std::memset(guarded.get(), kUnwritten, sizeof *guarded);
    TVRX_DEVICE_MODE_TABLE& table = guarded->table;
    table.EntryCount = entryCount;
    table.MaxDeviceMode = UCHAR(maxMode);
    for (size_t i = 0; i < before.size() && i < TVRX_DEVICE_MODE_ENTRIES_MAX; ++i) {
        table.Entries[i] = {UCHAR(before[i].mode), before[i].value1, before[i].value2, before[i].value3};
    }

    ParsedTable parsed;
    parsed.status = TVRX_VIEW_ROUTINE(host, TvrxParseDeviceModeInfoFromBuf)(&table, bytes.data(), bytes.size());
    for (const TVRX_DEVICE_MODE_ENTRY& entry : table.Entries) {
        if (Unwritten(entry)) {
            break;
        }
        parsed.rows.push_back({entry.DeviceMode, entry.Value1, entry.Value2, entry.Value3});
    }
    parsed.maxMode = table.MaxDeviceMode;
    parsed.entryCount = table.EntryCount;
    for (UCHAR b : guarded->after) {
        parsed.guardIntact = parsed.guardIntact && b == kUnwritten;
    }
    return parsed;
}

NTSTATUS ProcessDsmResult(const plat::Host& host, WDFDEVICE device, int32_t function, int32_t table,
                          const std::vector<uint8_t>& bytes)
{
    auto process = TVRX_VIEW_ROUTINE(host, TvrxProcessDsmResponseBuffer);
    if (bytes.empty()) {
        return process(device, function, table, nullptr);
    }
    WDFMEMORY memory;
    PVOID buffer;
    NTSTATUS status =
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, TVRX_POOL_TAG, bytes.size(), &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    status = process(device, function, table, memory);
    WdfObjectDelete(memory);
    return status;
}

NTSTATUS EvaluateDsm(const plat::Host& host, WDFDEVICE device, uint32_t function, uint32_t table,
                     WDFMEMORY* response)
{
    return TVRX_VIEW_ROUTINE(host, TvrxEvaluateDeviceModeDsm)(device, function, table, response);
}

NTSTATUS EvaluateDsmFunction(const plat::Host& host, WDFDEVICE device, uint32_t function)
{
    return TVRX_VIEW_ROUTINE(host, TvrxEvaluateDsmFunction)(device, function);
}

bool IsBiosSarUpdateNeeded(const plat::Host& host, WDFDEVICE device)
{
    return TVRX_VIEW_ROUTINE(host, TvrxIsBiosSarUpdateNeeded)(device) != FALSE;
}

NTSTATUS QueryRegistryString(const plat::Host& host, const wchar_t* path, const wchar_t* value, PUNICODE_STRING text)
{
    return TVRX_VIEW_ROUTINE(host, TvrxQueryRegistryString)(path, value, text);
}

NTSTATUS WriteParameterValue(const plat::Host& host, WDFDEVICE device, const wchar_t* subkey, const wchar_t* value,
                             ULONG type, PVOID data, ULONG size)
{
    return TVRX_VIEW_ROUTINE(host, TvrxWriteParameterValue)(device, subkey, value, type, data, size);
}

NTSTATUS ReadParameterString(const plat::Host& host, WDFDEVICE device, const wchar_t* subkey, const wchar_t* value,
                             PUNICODE_STRING text)
{
    return TVRX_VIEW_ROUTINE(host, TvrxReadParameterString)(device, subkey, value, text);
}

NTSTATUS ExportBiosSarTable(const plat::Host& host, uint32_t address, uint64_t length)
{
    return TVRX_VIEW_ROUTINE(host, TvrxExportBiosSarTable)(address, length);
}

void CallNotifyHandler(const plat::Host& host, const void* gate, ULONG code)
{
    TVRX_VIEW_ROUTINE(host, AcpiTvrxNotifyCallback)(const_cast<void*>(gate), code);
}

}  // namespace tvrx::debugview
