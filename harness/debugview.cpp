/* The debug view: reads the driver's device context and globals. */
#include "debugview.h"

#include <cstring>
#include <mutex>

#include "system/host.h"
#include "tvrx.h"
#include "wdf/device.h"
#include "wdf/queue.h"

namespace tvrx::debugview {

const Limits& DriverLimits()
{
    static const Limits limits = {TVRX_DSM_OUTPUT_SIZE, TVRX_DEVICE_MODE_TABLE_COUNT_MAX, TVRX_DEVICE_MODE_MATCH_MAX,
                                  TVRX_BIOS_SAR_STATE_CURRENT, TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE};
    return limits;
}

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

}  // namespace tvrx::debugview
