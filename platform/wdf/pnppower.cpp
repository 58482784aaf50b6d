/*
 * The framework's Plug and Play and power sequence for a device: the driver's
 * callbacks in KMDF's order, each at PASSIVE_LEVEL under the device's own
 * lock (the driver may publish interfaces from them), with the queues
 * stopped before the device leaves D0 and started after it entered D0.
 */
#include "wdf/pnppower.h"

#include <vector>

#include "base/bugcheck.h"
#include "ntos/io/deviceinterface.h"
#include "ntos/ke/irql.h"
#include "wdf/dispatch.h"
#include "wdf/queue.h"

namespace plat::wdf {
namespace {

// The device's queues (only the power-managed ones when asked).
std::vector<FxQueue*> QueuesOf(FxDevice* device, bool powerManagedOnly)
{
    std::vector<FxQueue*> queues;
    ForEachChild(device, [&](FxObject* child) {
        if (child->type == FxType::Queue && (!powerManagedOnly || static_cast<FxQueue*>(child)->powerManaged)) {
            queues.push_back(static_cast<FxQueue*>(child));
        }
    });
    return queues;
}

void ReleaseHardware(FxDevice* device)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceReleaseHardware");
    auto callback = device->pnpPower.EvtDeviceReleaseHardware;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), nullptr);
        RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceReleaseHardware");
    }
}

NTSTATUS D0Entry(FxDevice* device, WDF_POWER_DEVICE_STATE previous)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceD0Entry");
    auto callback = device->pnpPower.EvtDeviceD0Entry;
    NTSTATUS status = callback ? callback(static_cast<WDFDEVICE>(device->handle), previous) : STATUS_SUCCESS;
    RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceD0Entry");
    device->inD0 = NT_SUCCESS(status);
    return status;
}

void D0Exit(FxDevice* device, WDF_POWER_DEVICE_STATE target)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceD0Exit");
    auto callback = device->pnpPower.EvtDeviceD0Exit;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), target);
        RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceD0Exit");
    }
    device->inD0 = false;
}

}  // namespace

NTSTATUS PrepareHardware(FxDevice* device)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDevicePrepareHardware");
    auto callback = device->pnpPower.EvtDevicePrepareHardware;
    NTSTATUS status = callback ? callback(static_cast<WDFDEVICE>(device->handle), nullptr, nullptr) : STATUS_SUCCESS;
    RequireReturnedAt(PASSIVE_LEVEL, "EvtDevicePrepareHardware");
    return status;
}

void SurpriseRemoval(FxDevice* device)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceSurpriseRemoval");
    auto callback = device->pnpPower.EvtDeviceSurpriseRemoval;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle));
        RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceSurpriseRemoval");
    }
}

// KMDF enables the interfaces once the device has started
// (PnpEnableInterfacesAndRegisterWmi) and disables them when it fails or is
// removed (PnpDisableInterfaces); a stop leaves them as they are.
void SetVisible(FxDevice* device, PnpState state)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    device->pnpState = state;
    if (state == PnpState::Started || state == PnpState::Failed || state == PnpState::Removed) {
        bool enable = state == PnpState::Started;
        device->interfacesCanBeEnabled = enable;
        for (const FxDevice::Interface& entry : device->interfaces) {
            io::IoSetDeviceInterfaceState(entry.symbolicLink, enable);
        }
    }
}

// Handles open on the device, or closed with a request still in progress:
// each keeps its framework file object alive.
bool InUse(FxDevice* device)
{
    bool inUse = false;
    ForEachChild(device, [&](FxObject* child) { inUse = inUse || child->type == FxType::FileObject; });
    return inUse;
}

// Every queue of the device refuses what waits and what comes (removal).
void PurgeQueues(FxDevice* device)
{
    for (FxQueue* queue : QueuesOf(device, false)) {
        StopQueue(queue, WdfRequestStopActionPurge, true);
    }
}

// KMDF's Failed state purges the power-managed queues (PurgeManaged): what
// they held is cancelled, and what comes is refused until the device is
// removed. The others are purged at removal.
void PurgePowerManagedQueues(FxDevice* device)
{
    for (FxQueue* queue : QueuesOf(device, true)) {
        StopQueue(queue, WdfRequestStopActionPurge, true);
    }
}

// On Windows a failed device is removed and added again, with new queues; here
// it may be started again, so its queues take requests again (held until the
// power-up presents them).
void ReopenPowerManagedQueues(FxDevice* device)
{
    for (FxQueue* queue : QueuesOf(device, true)) {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        queue->removed.store(false, std::memory_order_seq_cst);
    }
}

// Leaves D0 the way the framework does: queues first, then the driver.
void PowerDown(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE target)
{
    QueuePowerDown(device);
    D0Exit(device, target);
    *inD0 = false;
}

// Enters D0: the driver first, then the queues.
NTSTATUS PowerUp(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE previous)
{
    NTSTATUS status = D0Entry(device, previous);
    if (NT_SUCCESS(status)) {
        *inD0 = true;
        QueuePowerUp(device);
    }
    return status;
}

void Release(FxDevice* device, bool* prepared)
{
    if (*prepared) {
        ReleaseHardware(device);
        *prepared = false;
    }
}

}  // namespace plat::wdf
