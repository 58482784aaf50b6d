/*
 * File objects of handles opened on a device. The kernel side (DeviceFile, an
 * object-manager file object that the handle names) and the framework side
 * (FxFileObject, a child of the device that the driver sees) live and die
 * together: the framework's create callback decides whether the open succeeds;
 * EvtFileCleanup runs when the last handle goes and EvtFileClose when the last
 * reference goes, which is after every request of the file has completed. A
 * device deleted while a handle is still open runs that close path at once and
 * leaves the handle pointing at nothing.
 */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ntos/ob/object.h"
#include "wdf/device.h"

namespace plat::wdf {

struct DeviceFile;

struct FxFileObject : FxObject {
    FxFileObject(FxDevice* device, const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return false; }
    void OnDelete() override;

    FxDevice* const device;
    DeviceFile* file = nullptr;  // guarded by the file object's stripe lock
    bool cleanedUp = false;      // EvtFileCleanup has run (or was not needed)
    bool closed = false;         // EvtFileClose has run
};

struct DeviceFile : ob::Object {
    explicit DeviceFile(FxDevice* device);
    void OnLastHandleClosed() override;
    void OnLastReference() override;
    std::string Describe() const override;

    // Brackets a request of this file; false once the device is gone.
    bool BeginRequest();
    void EndRequest();
    // Refuses new requests and waits for those in progress (device removal).
    void RunDown();

    FxDevice* const device;  // valid while a request is in progress (BeginRequest)
    std::atomic<FxFileObject*> fx{nullptr};

private:
    std::atomic<uint64_t> active_{0};  // requests in progress << 1 | gone
    std::mutex drainLock_;
    std::condition_variable drained_;
};

// Opens the device as CreateFile does: the driver's EvtDeviceFileCreate sees a
// create request on the calling thread; when it completes it successfully, a
// handle is inserted into the kernel's table (kernelHandle) or the current
// process's. The failure status of the create otherwise; a failed create
// never gets a close.
NTSTATUS OpenDevice(FxDevice* device, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    HANDLE* handle);

// The device file a handle names, referenced, for a device control.
NTSTATUS ReferenceDeviceFile(HANDLE handle, KPROCESSOR_MODE mode, DeviceFile** file, ACCESS_MASK* granted);

}  // namespace plat::wdf
