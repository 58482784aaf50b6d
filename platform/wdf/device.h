/*
 * The framework device object, its device-init record and its device
 * interfaces. Interfaces are registered with the I/O manager
 * (ntos/io/deviceinterface.h) for the physical device object below, enabled
 * once the device has started, stay enabled while it is stopped, and are
 * disabled when it fails or is removed (KMDF's PnpEnableInterfaces and
 * PnpDisableInterfaces).
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
        std::wstring symbolicLink;  // \??\ACPI#TVRX0001#0#{guid}, as the I/O manager registered it
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
    bool prepared = false;  // prepare-hardware was called and release-hardware is owed (under pnpLock)

    // Whether interfaces are enabled as they are created (the device has
    // started and not failed since: KMDF's m_DeviceInterfacesCanBeEnabled).
    bool interfacesCanBeEnabled = false;  // under pnpLock

    // The physical device object of the stack: the one below, or this device's
    // own when it was created without one (a root-enumerated test device).
    io::DeviceObject* Physical() { return lower ? lower.get() : &deviceObject; }

    // Called once a framework file object of the device is gone (its last
    // handle closed and its last request finished), on that thread: the
    // Plug and Play manager waits for this after a surprise removal. Set
    // before the device can be opened.
    std::function<void()> onFileObjectGone;

};

// Devices created and not yet deleted.
std::vector<FxDevice*> LiveDevices();
// Deletes a device with its children (removal by the PnP manager).
void DeleteDevice(FxDevice* device);

}  // namespace plat::wdf
