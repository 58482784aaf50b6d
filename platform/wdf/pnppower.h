/*
 * The framework's Plug and Play and power sequence, driven by the Plug and
 * Play manager (system/host.cpp) one step at a time per device.
 *
 *   start    PrepareHardware, then PowerUp (D0 entry, then the power-managed
 *            queues start and present what they held). A failed
 *            prepare-hardware is undone by release-hardware (KMDF's
 *            FailedOwnHardware state), as is a failed D0 entry; then the
 *            device fails (Fail).
 *   sleep    PowerDown (the queues stop: requests in progress finish, new
 *            ones are held; then D0 exit)
 *   stop     PowerDown if in D0, then Release (release-hardware); the device
 *            interfaces stay enabled
 *   fail     after a failed start or power-up (KMDF's Failed state): the
 *            interfaces are disabled and the power-managed queues purged
 *            (held requests complete with STATUS_CANCELLED, later ones with
 *            STATUS_INVALID_DEVICE_STATE)
 *   surprise EvtDeviceSurpriseRemoval, PowerDown to D3Final if in D0,
 *            Release, then as fail; the device is deleted (as at remove)
 *            once its last handle has closed
 *   remove   as stop, then every queue is purged and the device deleted
 */
#pragma once
#include <wdf.h>

#include "wdf/device.h"

namespace plat::wdf {

// The framework's dispatch routines for IRP_MJ_PNP and IRP_MJ_POWER (KMDF's
// FxPkgPnp with FxPkgFdo: the device is a function device, the power policy
// owner of its stack). Each runs the step above its packet asks for, under
// the device's Plug and Play lock, and passes the packet to the device below
// where KMDF does: a start and a power-up to D0 go down first and the device
// follows once the bus driver has them; a stop, a surprise removal, a removal
// and a power-down go down after the device has done its part; queries and
// cancels go down as they are. A system power packet becomes the device power
// packet the device needs (D3 for a sleep, D0 for a wake), asked for through
// the power manager, and carries that packet's status back.
NTSTATUS DispatchPnp(io::DeviceObject* deviceObject, io::Irp* irp);
NTSTATUS DispatchPower(io::DeviceObject* deviceObject, io::Irp* irp);

// EvtDevicePrepareHardware; its status.
NTSTATUS PrepareHardware(FxDevice* device);
// Enters D0: the driver first (EvtDeviceD0Entry from `previous`), then the queues.
NTSTATUS PowerUp(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE previous);
// Leaves D0 the way the framework does: the queues first, then the driver (EvtDeviceD0Exit to `target`).
void PowerDown(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE target);
// EvtDeviceReleaseHardware, when prepare-hardware was called since the last release.
void Release(FxDevice* device, bool* prepared);
// EvtDeviceSurpriseRemoval, when the driver registered one.
void SurpriseRemoval(FxDevice* device);
// What the device shows to the system: its interfaces are enabled while it is
// started or stopped, and disabled once it failed or was removed.
void SetVisible(FxDevice* device, PnpState state);
// Handles open on the device, or closed with a request still in progress.
bool InUse(FxDevice* device);
// The power-managed queues refuse what waits and what comes (a failed device).
void PurgePowerManagedQueues(FxDevice* device);
// Every queue of the device refuses what waits and what comes (removal).
void PurgeQueues(FxDevice* device);
// The power-managed queues take requests again (held until the next power-up):
// a failed device that is started again.
void ReopenPowerManagedQueues(FxDevice* device);

}  // namespace plat::wdf
