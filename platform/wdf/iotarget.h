/*
 * The device's local I/O target: the device below it in the stack (the ACPI
 * device). Synchronous sends copy the caller's buffers through a
 * METHOD_BUFFERED system buffer that the request owns, so a request cancelled
 * at its time-out never writes into the caller's memory afterwards.
 *
 * Time-outs follow KMDF's synchronous send: when the time-out expires the
 * framework cancels the request and then waits for it to complete; the send
 * reports STATUS_IO_TIMEOUT only when the request completed as cancelled,
 * otherwise the status it completed with. A time-out of 0 means none.
 *
 * Once the device is removed (or the target deleted with it) sends fail with
 * STATUS_INVALID_DEVICE_STATE, as they do on a removed KMDF target; deleting
 * the target cancels the requests it has sent and waits for them.
 */
#pragma once
#include <condition_variable>
#include <mutex>
#include <vector>

#include "wdf/device.h"

namespace plat::wdf {

struct FxIoTarget : FxObject {
    explicit FxIoTarget(FxDevice* device);
    ~FxIoTarget() override;
    bool DriverMayDelete() const override { return false; }  // the framework owns the local target
    void OnDelete() override;

    FxDevice* device;

    std::mutex lock;
    std::condition_variable idle;
    std::vector<io::Irp*> sent;  // packets sent and not yet back, under lock
    bool removed = false;        // under lock
};

// The device's local I/O target: made with the device (its first child, as
// KMDF makes the default target when it creates the device), or on first use
// when it could not be made then.
FxIoTarget* LocalIoTarget(FxDevice* device);

}  // namespace plat::wdf
