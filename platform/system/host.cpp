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
 *
 * A surprise-removed device leaves the list at once; its framework device
 * lives on until its last handle has closed, when a removal thread of the
 * host (the Plug and Play manager's remove, on a system thread) deletes it.
 */
#include "system/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "machine/registry.h"
#include "ntos/ke/irql.h"
#include "ntos/ps/process.h"
#include "system/machine.h"
#include "wdf/device.h"
#include "wdf/driver.h"
#include "wdf/pnppower.h"

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

// Where a device is in its Plug and Play life, as the host sees it. Failed:
// a start or a power-up failed (the device may be started again);
// SurpriseRemoved: gone from the bus, waiting for its handles to close.
enum class Phase { Added, Started, Stopped, Failed, SurpriseRemoved };

struct Host::Slot {
    explicit Slot(wdf::FxDevice* device_) : device(device_) {}

    std::mutex lock;  // held for every transition of the device
    std::atomic<wdf::FxDevice*> device;  // nullptr once removed (Device() reads it without the lock)
    Phase phase = Phase::Added;
    bool inD0 = false;
    bool prepared = false;  // prepare-hardware was called and release-hardware is owed

    // Removed, or surprise-removed and waiting for its handles: no transition
    // applies to it any more (a caller that found the slot before it left the
    // list sees this once it has the lock).
    bool Gone() const { return device == nullptr || phase == Phase::SurpriseRemoved; }
};

struct Host::State {
    void* image = nullptr;
    DRIVER_OBJECT driverObject{};
    std::wstring driverName;
    std::wstring registryPath;
    UNICODE_STRING registryPathString{};
    mutable std::mutex devicesLock;
    std::vector<std::shared_ptr<Slot>> devices;

    // Surprise-removed devices whose handles are still open: a thread each
    // waits for the last one and deletes the device. Unload sets `unloading`
    // and joins them (they delete their devices at once then). The lock and
    // its condition are shared with every file object of the devices: the
    // last of them may go after the driver is unloaded (see AddDevice).
    struct Removals {
        std::mutex lock;
        std::condition_variable changed;
    };
    std::shared_ptr<Removals> removals = std::make_shared<Removals>();
    std::vector<std::thread> removers;
    size_t removalsPending = 0;
    bool unloading = false;
};

namespace {

// KMDF's Failed state (PnpCleanupForRemove): the interfaces are disabled and
// the power-managed queues purged, so what waited there completes with
// STATUS_CANCELLED and what comes fails with STATUS_INVALID_DEVICE_STATE
// instead of waiting for a power-up that will not come.
void FailDevice(wdf::FxDevice* device)
{
    wdf::SetVisible(device, wdf::PnpState::Failed);
    wdf::PurgePowerManagedQueues(device);
}

// The last step of every removal: the remaining queues are purged and the
// device is deleted with its children. A handle still open (only at unload)
// has its file closed for the driver and names a file without a device.
void DeleteRemoved(wdf::FxDevice* device)
{
    wdf::SetVisible(device, wdf::PnpState::Removed);
    wdf::PurgeQueues(device);
    wdf::DeleteDevice(device);
}

}  // namespace

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
    // The verifier holds this image's code and locks to the driver's house rules.
    verifier::SetHouseImage(reinterpret_cast<const void*>(entry));
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
        verifier::SetHouseImage(nullptr);
        dlclose(state->image);
        return status;
    }
    if (wdf::CurrentDriver() == nullptr) {
        verifier::SetHouseImage(nullptr);
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
    if (pdo == nullptr) {
        return STATUS_NO_SUCH_DEVICE;  // the ACPI driver enumerated no device with that ID: nothing to add to
    }
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
        WdfViolation("device add without a device", "EvtDriverDeviceAdd succeeded without creating a device");
    }
    // The last close of a surprise-removed device lets its removal go on. A
    // file object finishes going after it has left the device, so the removal
    // (and an unload after it) may be over by then: the hook holds what it
    // wakes, never the host or the device.
    created->onFileObjectGone = [removals = state_->removals] {
        std::lock_guard<std::mutex> guard(removals->lock);
        removals->changed.notify_all();
    };
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


NTSTATUS Host::Start(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->Gone()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase == Phase::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // What the driver writes while it starts reaches registry.reg in one piece.
    Registry::Batch batch(machine_.Registry());
    wdf::ReopenPowerManagedQueues(slot->device);
    // Release-hardware is owed from here, also when prepare-hardware fails:
    // KMDF's FailedOwnHardware state calls EvtDeviceReleaseHardware after a
    // failed EvtDevicePrepareHardware, as after a failed D0 entry.
    slot->prepared = true;
    NTSTATUS status = wdf::PrepareHardware(slot->device);
    if (NT_SUCCESS(status)) {
        status = wdf::PowerUp(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
    }
    if (!NT_SUCCESS(status)) {
        wdf::Release(slot->device, &slot->prepared);
        FailDevice(slot->device);
        slot->phase = Phase::Failed;
        return status;
    }
    slot->phase = Phase::Started;
    wdf::SetVisible(slot->device, wdf::PnpState::Started);
    return status;
}

NTSTATUS Host::Sleep(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->Gone()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started || !slot->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    wdf::PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3);
    return STATUS_SUCCESS;
}

NTSTATUS Host::Resume(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->Gone()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started || slot->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = wdf::PowerUp(slot->device, &slot->inD0, WdfPowerDeviceD3);
    if (!NT_SUCCESS(status)) {
        // A device that cannot power up has failed: its hardware is released
        // (no D0 exit: it never entered D0), its interface withdrawn and its
        // power-managed queues purged, until it is started again.
        wdf::Release(slot->device, &slot->prepared);
        FailDevice(slot->device);
        slot->phase = Phase::Failed;
    }
    return status;
}

NTSTATUS Host::Stop(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->Gone()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (slot->inD0) {
        wdf::PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
    }
    wdf::Release(slot->device, &slot->prepared);
    slot->phase = Phase::Stopped;
    // The interface stays enabled: an open during the stop reaches the driver.
    wdf::SetVisible(slot->device, wdf::PnpState::Stopped);
    return STATUS_SUCCESS;
}

NTSTATUS Host::Remove(size_t index) { return RemoveSlot(SlotAt(index), true); }

NTSTATUS Host::RemoveSlot(const std::shared_ptr<Slot>& slot, bool veto)
{
    ProcessScope system(ProcessTable::Current().System());
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        wdf::FxDevice* device = slot->device;
        if (slot->Gone()) {
            return STATUS_NO_SUCH_DEVICE;
        }
        // Opens that already found the device finish first: what they open counts.
        wdf::RefuseOpens(device, true);
        if (veto && wdf::InUse(device)) {
            wdf::RefuseOpens(device, false);
            return STATUS_PLUGPLAY_QUERY_VETOED;
        }
        if (slot->inD0) {
            wdf::PowerDown(slot->device, &slot->inD0, WdfPowerDeviceD3Final);
        }
        wdf::Release(slot->device, &slot->prepared);
        slot->device = nullptr;
        DeleteRemoved(device);
    }
    Unlist(slot);
    return STATUS_SUCCESS;
}

void Host::Unlist(const std::shared_ptr<Slot>& slot)
{
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    auto& devices = state_->devices;
    devices.erase(std::remove(devices.begin(), devices.end(), slot), devices.end());
}

// Under the slot's lock: the framework's surprise-removal path up to the wait
// for the handles. EvtDeviceSurpriseRemoval first (KMDF's
// SurpriseRemoveIoStarted state), then the power-down to D3Final if the device
// is in D0 (the queues stop, then D0 exit), release-hardware if owed
// (FailedOwnHardware), then the interfaces are disabled and the power-managed
// queues purged (Failed). New opens are refused from the start.
void Host::SurpriseRemoveLocked(Slot& slot)
{
    wdf::FxDevice* device = slot.device;
    wdf::RefuseOpens(device, true);
    wdf::SurpriseRemoval(device);
    if (slot.inD0) {
        wdf::PowerDown(device, &slot.inD0, WdfPowerDeviceD3Final);
    }
    wdf::Release(device, &slot.prepared);
    FailDevice(device);
    slot.phase = Phase::SurpriseRemoved;
}

NTSTATUS Host::SurpriseRemove(size_t index)
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    ProcessScope system(ProcessTable::Current().System());
    bool handlesOpen = false;
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        if (slot->Gone()) {
            return STATUS_NO_SUCH_DEVICE;
        }
        SurpriseRemoveLocked(*slot);
        wdf::FxDevice* device = slot->device;
        handlesOpen = wdf::InUse(device);
        if (!handlesOpen) {
            // No handle to wait for: the remove follows at once.
            slot->device = nullptr;
            DeleteRemoved(device);
        }
    }
    // Gone from the bus: the device leaves the list now; its object stays
    // until the last handle has closed.
    Unlist(slot);
    if (!handlesOpen) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(state_->removals->lock);
    state_->removalsPending++;
    state_->removers.emplace_back([this, slot] { AwaitLastHandle(slot); });
    return STATUS_SUCCESS;
}

// A removal thread: waits until no handle is open on the surprise-removed
// device (or the driver is unloading), then deletes it. Each framework file
// object that goes wakes it to look again.
void Host::AwaitLastHandle(const std::shared_ptr<Slot>& slot)
{
    ProcessScope system(ProcessTable::Current().System());
    wdf::FxDevice* device = slot->device;
    {
        std::unique_lock<std::mutex> lock(state_->removals->lock);
        state_->removals->changed.wait(lock, [&] { return state_->unloading || !wdf::InUse(device); });
    }
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        slot->device = nullptr;
        DeleteRemoved(device);
    }
    std::lock_guard<std::mutex> guard(state_->removals->lock);
    state_->removalsPending--;
    state_->removals->changed.notify_all();
}

size_t Host::RemovalsPending() const
{
    if (!state_) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(state_->removals->lock);
    return state_->removalsPending;
}

bool Host::WaitForRemovals(std::chrono::milliseconds limit) const
{
    if (!state_) {
        return true;
    }
    std::unique_lock<std::mutex> lock(state_->removals->lock);
    return state_->removals->changed.wait_for(lock, limit, [this] { return state_->removalsPending == 0; });
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

// A device with no handle open is removed as by Remove, without a veto. One
// with handles open is surprise-removed, then deleted at once: the image is
// about to go, so the open handles have their files closed for the driver
// (cleanup, then close) and name a file without a device from then on.
void Host::UnloadSlot(const std::shared_ptr<Slot>& slot)
{
    ProcessScope system(ProcessTable::Current().System());
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        wdf::FxDevice* device = slot->device;
        if (!slot->Gone() && wdf::InUse(device)) {
            SurpriseRemoveLocked(*slot);
            slot->device = nullptr;
            DeleteRemoved(device);
        }
        if (slot->Gone()) {
            Unlist(slot);
            return;
        }
    }
    RemoveSlot(slot, false);
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
        UnloadSlot(last);
    }
    // Surprise-removed devices whose handles are still open go with the driver.
    std::vector<std::thread> removers;
    {
        std::lock_guard<std::mutex> guard(state_->removals->lock);
        state_->unloading = true;
        removers.swap(state_->removers);
    }
    state_->removals->changed.notify_all();
    for (std::thread& remover : removers) {
        remover.join();
    }
    wdf::DeleteDriver();
    verifier::SetHouseImage(nullptr);
    dlclose(state_->image);
    state_.reset();
    verifier::Report report = verifier::Check();
    verifier::SetLastUnloadReport(report);
    return report;
}

void* Host::Symbol(const char* name) const { return state_ ? dlsym(state_->image, name) : nullptr; }

}  // namespace plat
