/*
 * The device's local I/O target: the device below it in the stack (the ACPI
 * device). Synchronous sends copy the caller's buffers through a
 * METHOD_BUFFERED system buffer that the request owns, so a request cancelled
 * at its time-out never writes into the caller's memory afterwards.
 */
#pragma once
#include "wdf/device.h"

namespace plat::wdf {

struct FxIoTarget : FxObject {
    explicit FxIoTarget(FxDevice* device);
    bool DriverMayDelete() const override { return false; }  // the framework owns the local target
    void OnDelete() override;

    FxDevice* device;
};

// The device's local I/O target, made on first use.
FxIoTarget* LocalIoTarget(FxDevice* device);

}  // namespace plat::wdf
