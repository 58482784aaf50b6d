/*
 * The framework's Plug and Play and power sequence, driven by the Plug and
 * Play manager (system/host.cpp) one step at a time per device.
 *
 *   start    PrepareHardware, then PowerUp (D0 entry, then the power-managed
 *            queues start and present what they held)
 *   sleep    PowerDown (the queues stop: requests in progress finish, new
 *            ones are held; then D0 exit)
 *   stop     PowerDown if in D0, then Release (release-hardware)
 *   remove   as stop, then the queues are purged and the device deleted
 */
#pragma once
#include <wdf.h>

#include "wdf/device.h"

namespace plat::wdf {

// EvtDevicePrepareHardware; its status.
NTSTATUS PrepareHardware(FxDevice* device);
// Enters D0: the driver first (EvtDeviceD0Entry from `previous`), then the queues.
NTSTATUS PowerUp(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE previous);
// Leaves D0 the way the framework does: the queues first, then the driver (EvtDeviceD0Exit to `target`).
void PowerDown(FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE target);
// EvtDeviceReleaseHardware, when prepare-hardware succeeded since the last release.
void Release(FxDevice* device, bool* prepared);
// What the device shows to the system (its interfaces are open while it is started).
void SetVisible(FxDevice* device, PnpState state);
// Handles open on the device, or closed with a request still in progress.
bool InUse(FxDevice* device);
// Every queue of the device refuses what waits and what comes (removal).
void PurgeQueues(FxDevice* device);

}  // namespace plat::wdf
