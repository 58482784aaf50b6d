/*
 * The framework device object, its device-init record and its device
 * interfaces. Interfaces are published once the device has started, stay
 * enabled while it is stopped, and are what user-mode clients enumerate and
 * open.
 */
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "ntos/io/irp.h"
#include "wdf/driver.h"

struct WDFDEVICE_INIT {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    WDF_FILEOBJECT_CONFIG fileObject;
    bool hasFileObjectConfig = false;
    bool hasFileObjectAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileObjectAttributes;
    std::wstring instanceId;
    std::shared_ptr<plat::io::DeviceObject> lower;  // the physical device object below the new device
    PFN_WDF_IO_IN_CALLER_CONTEXT ioInCallerContext = nullptr;
    bool hasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    bool consumed = false;
};

namespace plat::wdf {

struct FxQueue;
struct FxIoTarget;

// Where the device is in its Plug and Play life. Its interfaces are enabled
// while it is Started or Stopped (KMDF disables them only on the removal and
// failure paths); Failed covers a failed start or power-up and a surprise removal.
enum class PnpState { Added, Started, Failed, Stopped, Removed };

struct FxDevice : FxObject {
    FxDevice(FxDriver* driver, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return false; }
    void OnDelete() override;
    std::string Describe() const override;

    FxDriver* driver;
    std::wstring instanceId;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    bool hasFileObjectConfig;
    WDF_FILEOBJECT_CONFIG fileObject;

    struct Interface {
        GUID classGuid;
        std::wstring referenceString;
        std::wstring symbolicLink;  // \??\ACPI#TVRX0001#0#{guid}
    };
    std::vector<Interface> interfaces;

    FxQueue* defaultQueue = nullptr;
    FxIoTarget* ioTarget = nullptr;
    // The device object the I/O manager sends this device's requests to, on
    // top of the physical device object below it (the bus driver's).
    io::DeviceObject deviceObject;
    std::shared_ptr<io::DeviceObject> lower;
    // Called in the requestor's context before a request is queued (nullptr: queued at once).
    PFN_WDF_IO_IN_CALLER_CONTEXT ioInCallerContext = nullptr;
    // The context every request of this device gets (WdfDeviceInitSetRequestAttributes).
    bool hasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES requestAttributes;

    // Plug and Play and power callbacks of one device never overlap.
    std::recursive_mutex pnpLock;
    std::atomic<PnpState> pnpState{PnpState::Added};  // written under pnpLock, read by interface lookups
    std::atomic<bool> inD0{false};

    // Opens that found the device and have not finished, and whether new ones
    // are refused: a removal refuses opens and waits for these before it looks
    // for open handles, so no open reaches a device being deleted.
    std::atomic<int> opensInProgress{0};
    bool opensRefused = false;  // under the device list's lock

    // Called once a framework file object of the device is gone (its last
    // handle closed and its last request finished), on that thread: the
    // Plug and Play manager waits for this after a surprise removal. Set
    // before the device can be opened.
    std::function<void()> onFileObjectGone;

};

// A published device interface that a client can open.
struct InterfaceEntry {
    std::wstring symbolicLink;
    FxDevice* device;
};

// The enabled interfaces (of started or stopped devices) of a class, in creation order.
std::vector<InterfaceEntry> EnumerateInterfaces(const GUID& classGuid);
// The device whose enabled interface has this symbolic link (case-insensitive),
// held for an open until EndOpen; nullptr when there is none or it refuses opens.
FxDevice* BeginOpen(const std::wstring& symbolicLink);
void EndOpen(FxDevice* device);
// Refuses new opens of the device and waits for those in progress to finish
// (refuse true), or takes opens again (false, after a vetoed removal).
void RefuseOpens(FxDevice* device, bool refuse);

// Devices created and not yet deleted.
std::vector<FxDevice*> LiveDevices();
// Deletes a device with its children (removal by the PnP manager).
void DeleteDevice(FxDevice* device);

}  // namespace plat::wdf
