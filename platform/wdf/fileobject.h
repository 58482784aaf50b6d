/*
 * Framework file objects: the framework's side (FxFileObject, a child of the
 * device that the driver sees) of a file the I/O manager opened on the device
 * (io::FileObject, whose fsContext names the framework's side). The
 * framework's create dispatch lets EvtDeviceFileCreate decide whether the
 * open succeeds; IRP_MJ_CLEANUP (the last handle) runs EvtFileCleanup and
 * cancels the file's requests that the queues still hold, and IRP_MJ_CLOSE (the last reference, after every request of the file has
 * completed) runs EvtFileClose. A device deleted while a handle is still open
 * runs down the file and its close path at once, and leaves the handle
 * naming a file without a device.
 */
#pragma once
#include <functional>
#include "ntos/io/devicefile.h"
#include "wdf/device.h"

namespace plat::wdf {

struct FxFileObject : FxObject {
    FxFileObject(FxDevice* device, const WDF_OBJECT_ATTRIBUTES* attributes);
    ~FxFileObject() override;  // unlinked from the device by now
    bool DriverMayDelete() const override { return false; }
    void OnDelete() override;

    FxDevice* const device;
    // The device's onFileObjectGone, taken at creation: the destructor runs
    // after the object has left the device, when the device may be deleted.
    const std::function<void()> gone;
    io::FileObject* file = nullptr;  // guarded by the file object's stripe lock
    bool cleanedUp = false;          // EvtFileCleanup has run (or was not needed)
    bool closed = false;             // EvtFileClose has run
};

// The framework's dispatch routines for IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
NTSTATUS DispatchCreate(io::DeviceObject* deviceObject, io::Irp* irp);
NTSTATUS DispatchCleanup(io::DeviceObject* deviceObject, io::Irp* irp);
NTSTATUS DispatchClose(io::DeviceObject* deviceObject, io::Irp* irp);

// The framework file object of an open file; nullptr once its device is gone.
inline FxFileObject* FxFileOf(io::FileObject* file)
{
    return static_cast<FxFileObject*>(file->fsContext.load(std::memory_order_acquire));
}

}  // namespace plat::wdf
