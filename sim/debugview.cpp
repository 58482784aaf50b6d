/* The debug view: reads the driver's device context and globals. */
#include "debugview.h"

#include <mutex>

#include "system/host.h"
#include "tvrx.h"
#include "wdf/device.h"
#include "wdf/queue.h"

namespace sim::debugview {

const Limits& DriverLimits()
{
    static const Limits limits = {TVRX_DSM_OUTPUT_SIZE, TVRX_DEVICE_MODE_TABLE_COUNT_MAX, TVRX_DEVICE_MODE_MATCH_MAX,
                                  TVRX_BIOS_SAR_STATE_CURRENT, TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE};
    return limits;
}

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
    // An empty list head that was never set up (a device before its context was filled in) reads as no instances.
    const LIST_ENTRY* head = &c->AppInstanceListHead;
    for (const LIST_ENTRY* link = head->Flink; link != nullptr && link != head; link = link->Flink) {
        const TVRX_APP_INSTANCE_NODE* node = CONTAINING_RECORD(link, TVRX_APP_INSTANCE_NODE, ListEntry);
        ++view.appInstances;
        view.appInstancesWithEvent += node->ClientEvent != nullptr;
    }
    return view;
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

}  // namespace sim::debugview
