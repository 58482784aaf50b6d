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
#include "ntos/pnp/pnp.h"
#include "wdf/queue.h"

namespace plat::wdf {
namespace {

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
// removed (PnpDisableInterfaces); a stop leaves them as they are. Interfaces
// the device already disabled are left alone: after a failed start a new
// stack of the same device node may have enabled them again by the time the
// old one is removed.
void SetVisible(FxDevice* device, PnpState state)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    device->pnpState = state;
    bool enable = state == PnpState::Started;
    if (!enable && !device->interfacesCanBeEnabled) {
        return;
    }
    if (state == PnpState::Started || state == PnpState::Failed || state == PnpState::Removed) {
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
    for (FxQueue* queue : QueuesOf(device, Queues::All)) {
        StopQueue(queue, WdfRequestStopActionPurge, true);
    }
}

// KMDF's Failed state purges the power-managed queues (PurgeManaged): what
// they held is cancelled, and what comes is refused until the device is
// removed. The others are purged at removal.
void PurgePowerManagedQueues(FxDevice* device)
{
    for (FxQueue* queue : QueuesOf(device, Queues::PowerManaged)) {
        StopQueue(queue, WdfRequestStopActionPurge, true);
    }
}

// A device whose power-up failed keeps its stack and may be started again, so
// its queues take requests again (held until the power-up presents them). A
// failed start is different: the stack is removed and a new device added.
void ReopenPowerManagedQueues(FxDevice* device)
{
    for (FxQueue* queue : QueuesOf(device, Queues::PowerManaged)) {
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

namespace {

// KMDF's Failed state: the interfaces are disabled and the power-managed
// queues purged, so what waited there completes with STATUS_CANCELLED and
// what comes fails with STATUS_INVALID_DEVICE_STATE.
void Fail(FxDevice* device)
{
    SetVisible(device, PnpState::Failed);
    PurgePowerManagedQueues(device);
}

// Leaves D0 for good (a stop, a surprise removal or a removal): the queues
// stop and D0 exit runs to D3Final if the device is in D0, then
// release-hardware if it is owed.
void PowerDownAndRelease(FxDevice* device)
{
    bool inD0 = device->inD0;
    if (inD0) {
        PowerDown(device, &inD0, WdfPowerDeviceD3Final);
    }
    Release(device, &device->prepared);
}

// IRP_MN_START_DEVICE, once the bus driver has started the device:
// prepare-hardware, then D0 entry from D3Final and the queues. A failure of
// either is followed by release-hardware (KMDF's FailedOwnHardware state
// calls it also after a failed prepare-hardware), then the device fails.
NTSTATUS Start(FxDevice* device)
{
    ReopenPowerManagedQueues(device);
    device->prepared = true;
    NTSTATUS status = PrepareHardware(device);
    bool inD0 = false;
    if (NT_SUCCESS(status)) {
        status = PowerUp(device, &inD0, WdfPowerDeviceD3Final);
    }
    if (!NT_SUCCESS(status)) {
        Release(device, &device->prepared);
        Fail(device);
        return status;
    }
    SetVisible(device, PnpState::Started);
    return status;
}

// A device power packet to D0 once the bus driver has it, or out of D0
// before the bus driver gets it. A device that cannot power up has failed:
// its hardware is released (no D0 exit: it never entered D0).
NTSTATUS SetDevicePower(FxDevice* device, io::Irp* irp)
{
    if (irp->power.state == io::kPowerDeviceD0) {
        NTSTATUS status = pnp::ForwardAndWait(device->deviceObject.lower, irp);
        bool inD0 = device->inD0;
        if (NT_SUCCESS(status) && !inD0) {
            status = PowerUp(device, &inD0, WdfPowerDeviceD3);
            if (!NT_SUCCESS(status)) {
                Release(device, &device->prepared);
                Fail(device);
            }
        }
        return io::CompleteWith(irp, status);
    }
    bool inD0 = device->inD0;
    if (inD0) {
        PowerDown(device, &inD0, WdfPowerDeviceD3);
    }
    return io::CompleteWith(irp, pnp::ForwardAndWait(device->deviceObject.lower, irp));
}

// A system power packet: the power policy owner asks for the device power
// state the system state needs, out of D0 before the packet goes down to
// sleep, back into D0 after it went down to wake.
NTSTATUS SetSystemPower(FxDevice* device, io::Irp* irp)
{
    io::DeviceObject* physical = device->Physical();
    if (irp->power.state == io::kPowerSystemWorking) {
        NTSTATUS status = pnp::ForwardAndWait(device->deviceObject.lower, irp);
        if (NT_SUCCESS(status)) {
            status = pnp::PoRequestPowerIrp(physical, io::kPowerDeviceD0);
        }
        return io::CompleteWith(irp, status);
    }
    NTSTATUS status = pnp::PoRequestPowerIrp(physical, io::kPowerDeviceD3);
    NTSTATUS below = pnp::ForwardAndWait(device->deviceObject.lower, irp);
    return io::CompleteWith(irp, NT_SUCCESS(status) ? below : status);
}

}  // namespace

NTSTATUS DispatchPnp(io::DeviceObject* deviceObject, io::Irp* irp)
{
    auto* device = static_cast<FxDevice*>(deviceObject->extension);
    io::DeviceObject* lower = deviceObject->lower;
    if (irp->minor == io::kMnRemoveDevice) {
        // The device is deleted with its children once the packet is back
        // from below: nothing of it may be held then.
        NTSTATUS status;
        {
            std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
            PowerDownAndRelease(device);
            status = pnp::ForwardAndWait(lower, irp);
            SetVisible(device, PnpState::Removed);
        }
        PurgeQueues(device);
        DeleteDevice(device);
        return io::CompleteWith(irp, status);
    }
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    switch (irp->minor) {
    case io::kMnStartDevice: {
        NTSTATUS status = pnp::ForwardAndWait(lower, irp);
        return io::CompleteWith(irp, NT_SUCCESS(status) ? Start(device) : status);
    }
    case io::kMnStopDevice:
        PowerDownAndRelease(device);
        // The interfaces stay enabled: an open during the stop reaches the driver.
        SetVisible(device, PnpState::Stopped);
        break;
    case io::kMnSurpriseRemoval:
        // KMDF's SurpriseRemoveIoStarted: the driver hears of it first, then
        // the device powers down and releases its hardware, then fails.
        SurpriseRemoval(device);
        PowerDownAndRelease(device);
        Fail(device);
        break;
    case io::kMnQueryStopDevice:
    case io::kMnCancelStopDevice:
    case io::kMnQueryRemoveDevice:
    case io::kMnCancelRemoveDevice:
        // The framework has nothing to veto for a driver without the
        // query callbacks; the bus driver below answers.
        break;
    default:
        break;
    }
    return io::CompleteWith(irp, pnp::ForwardAndWait(lower, irp));
}

NTSTATUS DispatchPower(io::DeviceObject* deviceObject, io::Irp* irp)
{
    auto* device = static_cast<FxDevice*>(deviceObject->extension);
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    if (irp->minor == io::kMnSetPower) {
        return irp->power.type == io::kSystemPowerState ? SetSystemPower(device, irp) : SetDevicePower(device, irp);
    }
    return io::CompleteWith(irp, pnp::ForwardAndWait(deviceObject->lower, irp));
}

}  // namespace plat::wdf
