/* Device-init, WdfDeviceCreate and device interfaces. */
#include "wdf/device.h"

#include <algorithm>
#include <mutex>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/io/deviceinterface.h"
#include "ntos/ke/irql.h"
#include "wdf/iotarget.h"

namespace plat::wdf {
namespace {

std::mutex g_devicesLock;
std::vector<FxDevice*> g_devices;

}  // namespace

FxDevice::FxDevice(FxDriver* driver_, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::Device, driver_, attributes),
      driver(driver_),
      instanceId(init.instanceId),
      pnpPower(init.pnpPower),
      hasFileObjectConfig(init.hasFileObjectConfig),
      fileObject(init.fileObject),
      lower(init.lower),
      ioInCallerContext(init.ioInCallerContext),
      hasRequestAttributes(init.hasRequestAttributes),
      requestAttributes(init.requestAttributes)
{
    deviceObject.driver = FrameworkDriverObject();
    deviceObject.extension = this;
    deviceObject.name = std::string(instanceId.begin(), instanceId.end());
    if (!lower) {
        deviceObject.instanceId = instanceId;  // a stack of one: its own device instance
    }
    io::IoAttachDevice(&deviceObject, lower.get());
    // KMDF's device-init default (FxDeviceInit): names below the device are
    // opened under the device's own security.
    deviceObject.characteristics = FILE_DEVICE_SECURE_OPEN;
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.push_back(this);
}

void FxDevice::OnDelete()
{
    // A deleted device's interfaces resolve to nothing (unless it disabled
    // them already: a new stack of its device node may own them now), and its
    // stack loses its top.
    for (const Interface& entry : interfaces) {
        if (interfacesCanBeEnabled) {
            io::IoSetDeviceInterfaceState(entry.symbolicLink, false);
        }
    }
    io::IoDetachDevice(lower.get());
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), this), g_devices.end());
}

std::string FxDevice::Describe() const
{
    return FxObject::Describe() + " (" + std::string(instanceId.begin(), instanceId.end()) + ")";
}

std::vector<FxDevice*> LiveDevices()
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    return g_devices;
}

void DeleteDevice(FxDevice* device) { Delete(device); }

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    plat::RequirePassive(__func__);
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        plat::WdfViolation("device init", "WDF_PNPPOWER_EVENT_CALLBACKS not initialised");
    }
    DeviceInit->pnpPower = *PnpPowerEventCallbacks;
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    plat::RequirePassive(__func__);
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        plat::WdfViolation("device init", "WDF_FILEOBJECT_CONFIG not initialised");
    }
    ValidateAttributes(FileObjectAttributes, __func__);
    DeviceInit->fileObject = *FileObjectConfig;
    DeviceInit->hasFileObjectConfig = true;
    DeviceInit->hasFileObjectAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes != nullptr) {
        DeviceInit->fileObjectAttributes = *FileObjectAttributes;
    }
}

VOID WdfDeviceInitSetIoInCallerContextCallback(PWDFDEVICE_INIT DeviceInit,
                                               PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext)
{
    plat::RequirePassive(__func__);
    DeviceInit->ioInCallerContext = EvtIoInCallerContext;
}

VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    plat::RequirePassive(__func__);
    ValidateAttributes(RequestAttributes, __func__);
    if (RequestAttributes->ParentObject != nullptr) {
        plat::WdfViolation("device init", "request attributes may not name a parent: a request's parent is its device");
    }
    DeviceInit->requestAttributes = *RequestAttributes;
    DeviceInit->hasRequestAttributes = true;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    plat::RequirePassive(__func__);
    if (DeviceInit == nullptr || *DeviceInit == nullptr || (*DeviceInit)->consumed) {
        plat::WdfViolation("device init", "WdfDeviceCreate with no (or an already used) WDFDEVICE_INIT");
    }
    ValidateAttributes(DeviceAttributes, __func__);
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        plat::WdfViolation("device attributes", "a device's parent is always the driver");
    }
    *Device = nullptr;
    NTSTATUS status = plat::fault::Check("WdfDeviceCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FxDriver* driver = CurrentDriver();
    auto* device = new FxDevice(driver, **DeviceInit, DeviceAttributes);
    status = Register(device, DeviceAttributes);
    if (!NT_SUCCESS(status)) {
        device->OnDelete();
        delete device;
        return status;
    }
    LocalIoTarget(device);  // the default I/O target, the device's first child
    (*DeviceInit)->consumed = true;
    *DeviceInit = nullptr;  // the framework owns it now
    *Device = static_cast<WDFDEVICE>(device->handle);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString)
{
    plat::RequirePassive(__func__);
    auto* device = ResolveAs<FxDevice>(Device, FxType::Device, __func__);
    NTSTATUS status = plat::fault::Check("WdfDeviceCreateDeviceInterface");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::wstring reference;
    if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr) {
        reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    }
    // Registered for the physical device object; enabled at once when the
    // device has started (KMDF's m_DeviceInterfacesCanBeEnabled), else at start.
    std::wstring link;
    status = plat::io::IoRegisterDeviceInterface(device->Physical(), *InterfaceClassGUID, reference, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    device->interfaces.push_back(FxDevice::Interface{*InterfaceClassGUID, reference, link});
    if (device->interfacesCanBeEnabled) {
        plat::io::IoSetDeviceInterfaceState(link, true);
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    return static_cast<WDFDRIVER>(ResolveAs<FxDevice>(Device, FxType::Device, __func__)->driver->handle);
}

}  // extern "C"
