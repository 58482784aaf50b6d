/*
 * The loader and the Plug and Play and power manager.
 *
 * Loading maps tavrix.sys with dlopen (a fresh copy of its globals each time),
 * builds a DRIVER_OBJECT and calls DriverEntry at PASSIVE_LEVEL, as the
 * framework's start-up stub would after binding. Device add, start, power
 * transitions and removal call the driver's callbacks one at a time per device.
 */
#include "machine/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "acpi/acpidevice.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "nt/bugcheck.h"
#include "nt/irql.h"
#include "wdf/device.h"
#include "wdf/driver.h"

namespace plat {

namespace {

std::string DefaultImagePath()
{
    if (const char* path = std::getenv("TVRX_DRIVER_IMAGE")) {
        return path;
    }
    return TVRX_DRIVER_IMAGE;
}

}  // namespace

struct Host::State {
    void* image = nullptr;
    DRIVER_OBJECT driverObject{};
    std::wstring driverName;
    std::wstring registryPath;
    UNICODE_STRING registryPathString{};
    std::vector<wdf::FxDevice*> devices;
};

Host::Host(Machine& machine) : Host(machine, Options{}) {}

Host::Host(Machine& machine, Options options) : machine_(machine), options_(std::move(options))
{
    if (options_.imagePath.empty()) {
        options_.imagePath = DefaultImagePath();
    }
}

Host::~Host()
{
    if (Loaded()) {
        Unload();
    }
}

bool Host::Loaded() const { return state_ != nullptr; }

NTSTATUS Host::Load()
{
    if (Loaded()) {
        throw std::logic_error("the driver is already loaded");
    }
    auto state = std::make_unique<State>();
    state->image = dlopen(options_.imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (state->image == nullptr) {
        throw std::runtime_error(std::string("cannot load the driver image: ") + dlerror());
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(state->image, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(state->image);
        throw std::runtime_error("the driver image has no DriverEntry");
    }
    std::wstring service(options_.service.begin(), options_.service.end());
    state->driverName = L"\\Driver\\" + service;
    state->registryPath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    state->driverObject.Type = 4;
    state->driverObject.Size = sizeof(DRIVER_OBJECT);
    state->driverObject.DriverInit = entry;
    RtlInitUnicodeString(&state->driverObject.DriverName, state->driverName.c_str());
    RtlInitUnicodeString(&state->registryPathString, state->registryPath.c_str());
    // An installed service has its key and its Parameters subkey.
    machine_.Registry().CreateKeyPath(state->registryPath + L"\\Parameters");

    RequirePassive("DriverEntry");
    NTSTATUS status = entry(&state->driverObject, &state->registryPathString);
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry leaves nothing behind: the stub unbinds and the image is unmapped.
        wdf::DeleteDriver();
        dlclose(state->image);
        return status;
    }
    if (wdf::CurrentDriver() == nullptr) {
        dlclose(state->image);
        throw std::runtime_error("DriverEntry succeeded without creating a framework driver object");
    }
    state_ = std::move(state);
    return status;
}

NTSTATUS Host::AddDevice(const std::wstring& instanceId)
{
    if (!Loaded()) {
        throw std::logic_error("AddDevice with no driver loaded");
    }
    wdf::FxDriver* driver = wdf::CurrentDriver();
    std::vector<wdf::FxDevice*> before = wdf::LiveDevices();
    WDFDEVICE_INIT init{};
    init.instanceId = instanceId;
    init.pdo = acpi::CreateDevice(machine_, std::string(instanceId.begin(), instanceId.end()));
    RequirePassive("EvtDriverDeviceAdd");
    NTSTATUS status = driver->config.EvtDriverDeviceAdd(static_cast<WDFDRIVER>(driver->handle), &init);
    wdf::FxDevice* created = nullptr;
    for (wdf::FxDevice* device : wdf::LiveDevices()) {
        if (std::find(before.begin(), before.end(), device) == before.end()) {
            created = device;
        }
    }
    if (!NT_SUCCESS(status)) {
        // A device created by a failing add is deleted by the framework.
        if (created != nullptr) {
            wdf::DeleteDevice(created);
        }
        return status;
    }
    if (created == nullptr) {
        BugCheck(WDF_VIOLATION, "EvtDriverDeviceAdd succeeded without creating a device");
    }
    state_->devices.push_back(created);
    return status;
}

size_t Host::DeviceCount() const { return state_ ? state_->devices.size() : 0; }

WDFDEVICE Host::Device(size_t index) const
{
    if (!state_ || index >= state_->devices.size()) {
        return nullptr;
    }
    return static_cast<WDFDEVICE>(state_->devices[index]->handle);
}

namespace {

wdf::FxDevice* Pick(const std::vector<wdf::FxDevice*>& devices, size_t index)
{
    if (index >= devices.size()) {
        throw std::out_of_range("no device with that index");
    }
    return devices[index];
}

NTSTATUS PrepareHardware(wdf::FxDevice* device)
{
    auto callback = device->pnpPower.EvtDevicePrepareHardware;
    return callback ? callback(static_cast<WDFDEVICE>(device->handle), nullptr, nullptr) : STATUS_SUCCESS;
}

void ReleaseHardware(wdf::FxDevice* device)
{
    auto callback = device->pnpPower.EvtDeviceReleaseHardware;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), nullptr);
    }
}

NTSTATUS D0Entry(wdf::FxDevice* device, WDF_POWER_DEVICE_STATE previous)
{
    auto callback = device->pnpPower.EvtDeviceD0Entry;
    NTSTATUS status = callback ? callback(static_cast<WDFDEVICE>(device->handle), previous) : STATUS_SUCCESS;
    device->inD0 = NT_SUCCESS(status);
    return status;
}

void D0Exit(wdf::FxDevice* device, WDF_POWER_DEVICE_STATE target)
{
    if (!device->inD0) {
        return;
    }
    auto callback = device->pnpPower.EvtDeviceD0Exit;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), target);
    }
    device->inD0 = false;
}

}  // namespace

NTSTATUS Host::Start(size_t index)
{
    wdf::FxDevice* device = Pick(state_->devices, index);
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDevicePrepareHardware");
    NTSTATUS status = PrepareHardware(device);
    if (NT_SUCCESS(status)) {
        status = D0Entry(device, WdfPowerDeviceD3Final);
        if (!NT_SUCCESS(status)) {
            ReleaseHardware(device);
        }
    }
    device->pnpState = NT_SUCCESS(status) ? wdf::PnpState::Started : wdf::PnpState::StartFailed;
    return status;
}

NTSTATUS Host::Sleep(size_t index)
{
    wdf::FxDevice* device = Pick(state_->devices, index);
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    D0Exit(device, WdfPowerDeviceD3);
    return STATUS_SUCCESS;
}

NTSTATUS Host::Resume(size_t index)
{
    wdf::FxDevice* device = Pick(state_->devices, index);
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    if (device->pnpState != wdf::PnpState::Started || device->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return D0Entry(device, WdfPowerDeviceD3);
}

NTSTATUS Host::Stop(size_t index)
{
    wdf::FxDevice* device = Pick(state_->devices, index);
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    if (device->pnpState != wdf::PnpState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    D0Exit(device, WdfPowerDeviceD3Final);
    ReleaseHardware(device);
    device->pnpState = wdf::PnpState::Stopped;
    return STATUS_SUCCESS;
}

NTSTATUS Host::Remove(size_t index)
{
    wdf::FxDevice* device = Pick(state_->devices, index);
    {
        std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
        if (device->pnpState == wdf::PnpState::Started) {
            D0Exit(device, WdfPowerDeviceD3Final);
            ReleaseHardware(device);
        }
        device->pnpState = wdf::PnpState::Removed;
    }
    state_->devices.erase(state_->devices.begin() + static_cast<long>(index));
    wdf::DeleteDevice(device);
    return STATUS_SUCCESS;
}

verifier::Report Host::Unload()
{
    if (!Loaded()) {
        throw std::logic_error("Unload with no driver loaded");
    }
    while (!state_->devices.empty()) {
        Remove(state_->devices.size() - 1);
    }
    wdf::DeleteDriver();
    dlclose(state_->image);
    state_.reset();
    verifier::Report report = verifier::Check();
    verifier::SetLastUnloadReport(report);
    return report;
}

void* Host::Symbol(const char* name) const { return state_ ? dlsym(state_->image, name) : nullptr; }

}  // namespace plat
