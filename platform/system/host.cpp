/*
 * The loader and the Plug and Play and power manager.
 *
 * Loading maps tavrix.sys with dlopen (a fresh copy of its globals each time),
 * builds a DRIVER_OBJECT and calls DriverEntry at PASSIVE_LEVEL, as the
 * framework's start-up stub would after binding. Device add, start, power
 * transitions and removal call the driver's callbacks one at a time per
 * device: each device has a slot whose lock every transition holds, and the
 * slot outlives the device so that a caller waiting on it when the device is
 * removed finds it gone instead of freed.
 */
#include "system/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "machine/registry.h"
#include "ntos/ps/process.h"
#include "ntos/ke/irql.h"
#include "system/machine.h"
#include "wdf/device.h"
#include "wdf/dispatch.h"
#include "wdf/driver.h"
#include "wdf/queue.h"

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

// Where a device is in its Plug and Play life, as the host sees it.
enum class Phase { Added, Started, StartFailed, Stopped, Failed };

struct Host::Slot {
    explicit Slot(wdf::FxDevice* device_) : device(device_) {}

    std::mutex lock;  // held for every transition of the device
    std::atomic<wdf::FxDevice*> device;  // nullptr once removed (Device() reads it without the lock)
    Phase phase = Phase::Added;
    bool inD0 = false;
    bool prepared = false;  // prepare-hardware succeeded and release-hardware is owed
};

struct Host::State {
    void* image = nullptr;
    DRIVER_OBJECT driverObject{};
    std::wstring driverName;
    std::wstring registryPath;
    UNICODE_STRING registryPathString{};
    mutable std::mutex devicesLock;
    std::vector<std::shared_ptr<Slot>> devices;
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
    // The service key and what DriverEntry writes reach registry.reg together.
    Registry::Batch batch(machine_.Registry());
    // An installed service has its key and its Parameters subkey.
    machine_.Registry().CreateKeyPath(state->registryPath + L"\\Parameters");

    ProcessScope system(ProcessTable::Current().System());
    RequirePassive("DriverEntry");
    NTSTATUS status = entry(&state->driverObject, &state->registryPathString);
    RequireReturnedAt(PASSIVE_LEVEL, "DriverEntry");
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
    // The bus driver enumerated the device: its physical device object is the bottom of the stack.
    std::shared_ptr<acpi::AcpiDevice> pdo = acpi::CreateDevice(std::string(instanceId.begin(), instanceId.end()));
    init.lower = std::shared_ptr<io::DeviceObject>(pdo, pdo->DeviceObject());
    ProcessScope system(ProcessTable::Current().System());
    RequirePassive("EvtDriverDeviceAdd");
    NTSTATUS status = driver->config.EvtDriverDeviceAdd(static_cast<WDFDRIVER>(driver->handle), &init);
    RequireReturnedAt(PASSIVE_LEVEL, "EvtDriverDeviceAdd");
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
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    state_->devices.push_back(std::make_shared<Slot>(created));
    return status;
}

size_t Host::DeviceCount() const
{
    if (!state_) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    return state_->devices.size();
}

WDFDEVICE Host::Device(size_t index) const
{
    if (!state_) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    wdf::FxDevice* device = index < state_->devices.size() ? state_->devices[index]->device.load() : nullptr;
    return device != nullptr ? static_cast<WDFDEVICE>(device->handle) : nullptr;
}

std::shared_ptr<Host::Slot> Host::SlotAt(size_t index) const
{
    if (!state_) {
        throw std::logic_error("Plug and Play call with no driver loaded");
    }
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    if (index >= state_->devices.size()) {
        throw std::out_of_range("no device with that index");
    }
    return state_->devices[index];
}

namespace {

// The callbacks, each at PASSIVE_LEVEL under the device's own lock as well
// (the driver may publish interfaces from them).

NTSTATUS PrepareHardware(wdf::FxDevice* device)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDevicePrepareHardware");
    auto callback = device->pnpPower.EvtDevicePrepareHardware;
    NTSTATUS status = callback ? callback(static_cast<WDFDEVICE>(device->handle), nullptr, nullptr) : STATUS_SUCCESS;
    RequireReturnedAt(PASSIVE_LEVEL, "EvtDevicePrepareHardware");
    return status;
}

void ReleaseHardware(wdf::FxDevice* device)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceReleaseHardware");
    auto callback = device->pnpPower.EvtDeviceReleaseHardware;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), nullptr);
        RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceReleaseHardware");
    }
}

NTSTATUS D0Entry(wdf::FxDevice* device, WDF_POWER_DEVICE_STATE previous)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceD0Entry");
    auto callback = device->pnpPower.EvtDeviceD0Entry;
    NTSTATUS status = callback ? callback(static_cast<WDFDEVICE>(device->handle), previous) : STATUS_SUCCESS;
    RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceD0Entry");
    device->inD0 = NT_SUCCESS(status);
    return status;
}

void D0Exit(wdf::FxDevice* device, WDF_POWER_DEVICE_STATE target)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    RequirePassive("EvtDeviceD0Exit");
    auto callback = device->pnpPower.EvtDeviceD0Exit;
    if (callback) {
        callback(static_cast<WDFDEVICE>(device->handle), target);
        RequireReturnedAt(PASSIVE_LEVEL, "EvtDeviceD0Exit");
    }
    device->inD0 = false;
}

void SetVisible(wdf::FxDevice* device, wdf::PnpState state)
{
    std::lock_guard<std::recursive_mutex> guard(device->pnpLock);
    device->pnpState = state;
}

// Handles open on the device, or closed with a request still in progress:
// each keeps its framework file object alive.
bool InUse(wdf::FxDevice* device)
{
    bool inUse = false;
    wdf::ForEachChild(device, [&](wdf::FxObject* child) { inUse = inUse || child->type == wdf::FxType::FileObject; });
    return inUse;
}

// Every queue of the device refuses what waits and what comes (removal).
void PurgeQueues(wdf::FxDevice* device)
{
    std::vector<wdf::FxQueue*> queues;
    wdf::ForEachChild(device, [&](wdf::FxObject* child) {
        if (child->type == wdf::FxType::Queue) {
            queues.push_back(static_cast<wdf::FxQueue*>(child));
        }
    });
    for (wdf::FxQueue* queue : queues) {
        wdf::StopQueue(queue, WdfRequestStopActionPurge, true);
    }
}

// Leaves D0 the way the framework does: queues first, then the driver.
void PowerDown(wdf::FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE target)
{
    wdf::QueuePowerDown(device);
    D0Exit(device, target);
    *inD0 = false;
}

// Enters D0: the driver first, then the queues.
NTSTATUS PowerUp(wdf::FxDevice* device, bool* inD0, WDF_POWER_DEVICE_STATE previous)
{
    NTSTATUS status = D0Entry(device, previous);
    if (NT_SUCCESS(status)) {
        *inD0 = true;
        wdf::QueuePowerUp(device);
    }
    return status;
}

void Release(wdf::FxDevice* device, bool* prepared)
{
    if (*prepared) {
        ReleaseHardware(device);
        *prepared = false;
    }
}

}  // namespace

NTSTATUS Host::Start(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase == Phase::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // What the driver writes while it starts reaches registry.reg in one piece.
    Registry::Batch batch(machine_.Registry());
    NTSTATUS status = PrepareHardware(slot->device);
    if (NT_SUCCESS(status)) {
        slot->prepared = true;
        status = PowerUp(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
        if (!NT_SUCCESS(status)) {
            Release(slot->device, &slot->prepared);
        }
    }
    slot->phase = NT_SUCCESS(status) ? Phase::Started : Phase::StartFailed;
    SetVisible(slot->device, NT_SUCCESS(status) ? wdf::PnpState::Started : wdf::PnpState::StartFailed);
    return status;
}

NTSTATUS Host::Sleep(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started || !slot->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3);
    return STATUS_SUCCESS;
}

NTSTATUS Host::Resume(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started || slot->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = PowerUp(slot->device, &slot->inD0, WdfPowerDeviceD3);
    if (!NT_SUCCESS(status)) {
        // A device that cannot power up has failed: its hardware is released
        // and its interface withdrawn until it is started again.
        Release(slot->device, &slot->prepared);
        slot->phase = Phase::Failed;
        SetVisible(slot->device, wdf::PnpState::StartFailed);
    }
    return status;
}

NTSTATUS Host::Stop(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (slot->inD0) {
        PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
    }
    Release(slot->device, &slot->prepared);
    slot->phase = Phase::Stopped;
    SetVisible(slot->device, wdf::PnpState::Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS Host::Remove(size_t index) { return RemoveSlot(SlotAt(index), true); }

NTSTATUS Host::RemoveSlot(const std::shared_ptr<Slot>& slot, bool veto)
{
    ProcessScope system(ProcessTable::Current().System());
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        wdf::FxDevice* device = slot->device;
        if (device == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        // Opens that already found the device finish first: what they open counts.
        wdf::RefuseOpens(device, true);
        if (veto && InUse(device)) {
            wdf::RefuseOpens(device, false);
            return STATUS_PLUGPLAY_QUERY_VETOED;
        }
        if (slot->inD0) {
            PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
        }
        Release(slot->device, &slot->prepared);
        SetVisible(device, wdf::PnpState::Removed);
        PurgeQueues(device);
        slot->device = nullptr;
        wdf::DeleteDevice(device);
    }
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    auto& devices = state_->devices;
    devices.erase(std::remove(devices.begin(), devices.end(), slot), devices.end());
    return STATUS_SUCCESS;
}

bool Host::InD0(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->device != nullptr && slot->inD0;
}

bool Host::Started(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->device != nullptr && slot->phase == Phase::Started;
}

verifier::Report Host::Unload()
{
    if (!Loaded()) {
        throw std::logic_error("Unload with no driver loaded");
    }
    for (;;) {
        std::shared_ptr<Slot> last;
        {
            std::lock_guard<std::mutex> guard(state_->devicesLock);
            if (state_->devices.empty()) {
                break;
            }
            last = state_->devices.back();
        }
        RemoveSlot(last, false);
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
