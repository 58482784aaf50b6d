/* Device-init, WdfDeviceCreate and device interfaces. */
#include "wdf/device.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <thread>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"

namespace plat::wdf {
namespace {

std::mutex g_devicesLock;
std::vector<FxDevice*> g_devices;

std::wstring GuidText(const GUID& g)
{
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// \??\ACPI#TVRX0001#0#{guid}[\reference]: the instance path with '\' turned into '#'.
std::wstring SymbolicLink(const std::wstring& instanceId, const GUID& guid, const std::wstring& reference)
{
    std::wstring link = L"\\??\\" + instanceId;
    std::replace(link.begin() + 4, link.end(), L'\\', L'#');
    link += L"#" + GuidText(guid);
    if (!reference.empty()) {
        link += L"\\" + reference;
    }
    return link;
}

// A stopped device keeps its interfaces: KMDF disables them only when the
// device fails or is removed (PnpDisableInterfaces), so an open during a stop
// reaches the driver, which decides.
bool InterfacesEnabled(const FxDevice* device)
{
    PnpState state = device->pnpState;
    return state == PnpState::Started || state == PnpState::Stopped;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
           });
}

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
    deviceObject.lower = lower.get();
    deviceObject.extension = this;
    deviceObject.name = std::string(instanceId.begin(), instanceId.end());
    // KMDF's device-init default (FxDeviceInit): names below the device are
    // opened under the device's own security.
    deviceObject.characteristics = FILE_DEVICE_SECURE_OPEN;
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.push_back(this);
}

void FxDevice::OnDelete()
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), this), g_devices.end());
}

std::string FxDevice::Describe() const
{
    return FxObject::Describe() + " (" + std::string(instanceId.begin(), instanceId.end()) + ")";
}

std::vector<InterfaceEntry> EnumerateInterfaces(const GUID& classGuid)
{
    std::vector<InterfaceEntry> result;
    std::lock_guard<std::mutex> guard(g_devicesLock);
    for (FxDevice* device : g_devices) {
        if (!InterfacesEnabled(device)) {
            continue;
        }
        for (const FxDevice::Interface& entry : device->interfaces) {
            if (IsEqualGUID(entry.classGuid, classGuid)) {
                result.push_back(InterfaceEntry{entry.symbolicLink, device});
            }
        }
    }
    return result;
}

FxDevice* BeginOpen(const std::wstring& symbolicLink)
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    for (FxDevice* device : g_devices) {
        if (!InterfacesEnabled(device) || device->opensRefused) {
            continue;
        }
        for (const FxDevice::Interface& entry : device->interfaces) {
            if (EqualNoCase(entry.symbolicLink, symbolicLink)) {
                device->opensInProgress.fetch_add(1, std::memory_order_relaxed);
                return device;
            }
        }
    }
    return nullptr;
}

void EndOpen(FxDevice* device) { device->opensInProgress.fetch_sub(1, std::memory_order_release); }

void RefuseOpens(FxDevice* device, bool refuse)
{
    {
        std::lock_guard<std::mutex> guard(g_devicesLock);
        device->opensRefused = refuse;
    }
    while (refuse && device->opensInProgress.load(std::memory_order_acquire) != 0) {
        std::this_thread::yield();
    }
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
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    device->interfaces.push_back(FxDevice::Interface{*InterfaceClassGUID, reference,
                                                     SymbolicLink(device->instanceId, *InterfaceClassGUID, reference)});
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    return static_cast<WDFDRIVER>(ResolveAs<FxDevice>(Device, FxType::Device, __func__)->driver->handle);
}

}  // extern "C"
