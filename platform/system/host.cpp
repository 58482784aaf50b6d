/*
 * The loader, and the requests for device actions that the Plug and Play
 * manager turns into packets (ntos/pnp/pnp.h).
 *
 * Loading maps tavrix.sys with dlopen (a fresh copy of its globals each time),
 * or takes the DriverEntry of a driver the program plays, builds a
 * DRIVER_OBJECT and calls DriverEntry at PASSIVE_LEVEL, as the framework's
 * start-up stub would after binding. Device add, start, power
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
#include <strings.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "machine/registry.h"
#include "ntos/io/deviceinterface.h"
#include "ntos/ke/irql.h"
#include "ntos/pnp/pnp.h"
#include "ntos/ps/process.h"
#include "system/infsecurity.h"
#include "acpi/enumerate.h"
#include "ntos/pnp/inf.h"
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

std::string DefaultInfPath()
{
    if (const char* path = std::getenv("TVRX_DRIVER_INF")) {
        return path;
    }
    return TVRX_DRIVER_INF;
}

// The descriptor the installed package gives the device (nullptr: none).
std::shared_ptr<const se::SecurityDescriptor> PackageSecurity(const std::string& infPath)
{
    if (infPath == "none") {
        return nullptr;
    }
    std::ifstream in(infPath);
    if (!in) {
        throw std::runtime_error("cannot read the driver package's INF " + infPath);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return InfDeviceSecurity(text.str(), infPath);
}

}  // namespace

// Where a device is in its Plug and Play life, as the host sees it. Failed: a
// power-up failed (the framework's Failed state, the stack still there; a
// start may start it again); StartFailed: a start failed, so the stack was
// removed and the device node keeps CM_PROB_FAILED_START until a start adds
// the device again; Removed: gone; SurpriseRemoved: gone from the bus,
// waiting for its handles to close.
enum class Phase { Added, Started, Stopped, Failed, StartFailed, Removed, SurpriseRemoved };

struct Host::Slot {
    Slot(wdf::FxDevice* device_, std::shared_ptr<io::DeviceObject> physical_)
        : device(device_), physical(std::move(physical_)), instanceId(physical->instanceId)
    {
    }

    std::mutex lock;  // held for every transition of the device
    // The device node's framework device: nullptr once removed, or while the
    // node has no stack after a failed start (Device() reads it without the lock).
    std::atomic<wdf::FxDevice*> device;
    // The bottom of the device's stack: packets go to the top of the stack on it.
    std::shared_ptr<io::DeviceObject> physical;
    // The device node's instance ID: it outlives the stacks a failed start removes.
    const std::wstring instanceId;
    Phase phase = Phase::Added;
    ULONG problem = pnp::kProblemNone;  // the device node's problem code (CM_PROB_*)

    // Removed, or surprise-removed and waiting for its handles: no transition
    // applies to it any more (a caller that found the slot before it left the
    // list sees this once it has the lock).
    bool Gone() const { return phase == Phase::Removed || phase == Phase::SurpriseRemoved; }
};

struct Host::State {
    void* image = nullptr;  // nullptr: the program plays the driver (Options::entry)
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

// The last step of every removal: IRP_MN_REMOVE_DEVICE, on which the
// framework purges the remaining queues and deletes the device with its
// children. A handle still open (only at unload) has its file closed for the
// driver and names a file without a device.
void SendRemove(io::DeviceObject* physical) { pnp::SendPnp(physical, io::kMnRemoveDevice); }

// Unmaps the driver's image; a driver the program plays has none to unmap.
void CloseImage(void* image)
{
    if (image != nullptr) {
        dlclose(image);
    }
}

}  // namespace

Host::Host(Machine& machine) : Host(machine, Options{}) {}

Host::Host(Machine& machine, Options options) : machine_(machine), options_(std::move(options))
{
    if (options_.imagePath.empty()) {
        options_.imagePath = DefaultImagePath();
    }
    if (options_.infPath.empty()) {
        options_.infPath = DefaultInfPath();
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
    PDRIVER_INITIALIZE entry = options_.entry;
    if (entry == nullptr) {
        state->image = dlopen(options_.imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (state->image == nullptr) {
            throw std::runtime_error(std::string("cannot load the driver image: ") + dlerror());
        }
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(state->image, "DriverEntry"));
        if (entry == nullptr) {
            dlclose(state->image);
            throw std::runtime_error("the driver image has no DriverEntry");
        }
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
        CloseImage(state->image);
        return status;
    }
    if (wdf::CurrentDriver() == nullptr) {
        verifier::SetHouseImage(nullptr);
        CloseImage(state->image);
        throw std::runtime_error("DriverEntry succeeded without creating a framework driver object");
    }
    state_ = std::move(state);
    return status;
}

NTSTATUS Host::AddBoundDevices()
{
    if (!Loaded()) {
        throw std::logic_error("AddDevice with no driver loaded");
    }
    pnp::InfPackage package;
    pnp::InfError error;
    if (!pnp::ReadInf(options_.infPath, &package, &error)) {
        throw InfError(error.Text());
    }
    NTSTATUS result = STATUS_NO_SUCH_DEVICE;
    for (const acpi::EnumeratedDevice& device : acpi::EnumerateInstalled().devices) {
        const pnp::InfModel* model = pnp::MatchModel(package, device.hardwareIds, device.compatibleIds);
        // A device that reports itself not working keeps its problem code and gets no driver.
        if (model == nullptr || device.problem != 0 || strcasecmp(model->service.c_str(), options_.service.c_str()) != 0) {
            continue;
        }
        NTSTATUS status = AddDevice(std::wstring(device.instanceId.begin(), device.instanceId.end()));
        if (result == STATUS_NO_SUCH_DEVICE || (NT_SUCCESS(result) && !NT_SUCCESS(status))) {
            result = status;
        }
    }
    return result;
}

NTSTATUS Host::AddDevice(const std::wstring& instanceId)
{
    if (!Loaded()) {
        throw std::logic_error("AddDevice with no driver loaded");
    }
    // Until the package's Security value applies, the installation has not succeeded.
    std::shared_ptr<const se::SecurityDescriptor> security = PackageSecurity(options_.infPath);
    std::shared_ptr<io::DeviceObject> physical;
    wdf::FxDevice* created = nullptr;
    NTSTATUS status = AddStack(instanceId, security, &physical, &created);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(state_->devicesLock);
        state_->devices.push_back(std::make_shared<Slot>(created, physical));
    }
    return status;
}

// Builds the device's stack: the physical device object the ACPI driver
// enumerated with that instance ID, then EvtDriverDeviceAdd on it. The new
// framework device and its physical device object, or the add's failure (a
// device the failing add created is deleted, as the framework deletes it).
NTSTATUS Host::AddStack(const std::wstring& instanceId, const std::shared_ptr<const se::SecurityDescriptor>& security,
                        std::shared_ptr<io::DeviceObject>* physical, wdf::FxDevice** result)
{
    wdf::FxDriver* driver = wdf::CurrentDriver();
    std::vector<wdf::FxDevice*> before = wdf::LiveDevices();
    WDFDEVICE_INIT init{};
    init.instanceId = instanceId;
    // The bus driver enumerated the device: its physical device object is the bottom of the stack.
    std::shared_ptr<acpi::AcpiDevice> pdo = acpi::CreateDevice(std::string(instanceId.begin(), instanceId.end()));
    if (pdo == nullptr) {
        return STATUS_NO_SUCH_DEVICE;  // the ACPI driver enumerated no device with that ID: nothing to add to
    }
    pdo->DeviceObject()->instanceId = instanceId;
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
    // The Plug and Play manager applies the device's Security property to
    // every device object of its stack once AddDevice has returned.
    if (security != nullptr) {
        created->deviceObject.security = security;
        init.lower->security = security;
    }
    // The last close of a surprise-removed device lets its removal go on. A
    // file object finishes going after it has left the device, so the removal
    // (and an unload after it) may be over by then: the hook holds what it
    // wakes, never the host or the device.
    created->onFileObjectGone = [removals = state_->removals] {
        std::lock_guard<std::mutex> guard(removals->lock);
        removals->changed.notify_all();
    };
    *physical = init.lower;
    *result = created;
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

std::shared_ptr<acpi::AcpiDevice> Host::Below(size_t index) const
{
    if (!state_) {
        return nullptr;
    }
    // Read as Device() reads the device, without the slot's lock: a start
    // that waits on the firmware holds that lock for as long as it waits.
    std::lock_guard<std::mutex> guard(state_->devicesLock);
    wdf::FxDevice* device = index < state_->devices.size() ? state_->devices[index]->device.load() : nullptr;
    return device != nullptr ? acpi::DeviceBelow(device->lower) : nullptr;
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
    if (slot->phase == Phase::StartFailed) {
        // The stack went with the failed start: the device is added again, a
        // new framework device with a fresh context on the device the ACPI
        // driver enumerates now. The node keeps the device's Security property.
        std::shared_ptr<io::DeviceObject> physical;
        wdf::FxDevice* created = nullptr;
        NTSTATUS status = AddStack(slot->instanceId, slot->physical->security, &physical, &created);
        if (!NT_SUCCESS(status)) {
            slot->problem = pnp::kProblemFailedAdd;
            return status;
        }
        slot->physical = std::move(physical);
        slot->device = created;
        slot->phase = Phase::Added;
        slot->problem = pnp::kProblemNone;
    }
    NTSTATUS status = pnp::SendPnp(slot->physical.get(), io::kMnStartDevice);
    if (NT_SUCCESS(status)) {
        slot->phase = Phase::Started;
        slot->problem = pnp::kProblemNone;
        return status;
    }
    RemoveFailedStack(*slot);
    return status;
}

// Under the slot's lock, after IRP_MN_START_DEVICE failed: the Plug and Play
// manager removes the stack and the device node keeps CM_PROB_FAILED_START.
// A device that never started hears IRP_MN_REMOVE_DEVICE alone; one that ran
// before (a restart after a stop, or after a failed power-up) is
// surprise-removed first, so the owners of its handles learn it is gone and
// the remove waits for their last close. Those handles stay with the old
// device: a later start adds a new one.
void Host::RemoveFailedStack(Slot& slot)
{
    wdf::FxDevice* device = slot.device;
    bool ranBefore = slot.phase == Phase::Stopped || slot.phase == Phase::Failed;
    io::RefuseOpens(slot.physical.get(), true);
    if (ranBefore || wdf::InUse(device)) {
        SurpriseRemoveLocked(slot);
    }
    slot.phase = Phase::StartFailed;
    slot.problem = pnp::kProblemFailedStart;
    slot.device = nullptr;
    if (!wdf::InUse(device)) {
        SendRemove(slot.physical.get());
        return;
    }
    // The old stack waits for its handles apart from the device node.
    auto old = std::make_shared<Slot>(device, slot.physical);
    old->phase = Phase::SurpriseRemoved;
    std::lock_guard<std::mutex> guard(state_->removals->lock);
    state_->removalsPending++;
    state_->removers.emplace_back([this, old] { AwaitLastHandle(old); });
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
    if (slot->phase != Phase::Started || !slot->device.load()->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The power manager's sleep: S3 to the stack, whose power policy owner asks for D3.
    return pnp::SetSystemPower(slot->physical.get(), io::kPowerSystemSleeping3);
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
    if (slot->phase != Phase::Started || slot->device.load()->inD0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The wake: S0 to the stack, whose power policy owner asks for D0. A
    // device that cannot power up has failed (the framework released its
    // hardware, withdrew its interface and purged its power-managed queues).
    NTSTATUS status = pnp::SetSystemPower(slot->physical.get(), io::kPowerSystemWorking);
    if (!NT_SUCCESS(status)) {
        slot->phase = Phase::Failed;
        slot->problem = pnp::kProblemFailedPostStart;
    }
    return status;
}

NTSTATUS Host::Stop(size_t index) { return StopSlot(SlotAt(index), false); }

NTSTATUS Host::QueryStopThenCancel(size_t index) { return StopSlot(SlotAt(index), true); }

NTSTATUS Host::StopSlot(const std::shared_ptr<Slot>& slot, bool cancel)
{
    // The Plug and Play and power paths run on system threads, in the System process.
    ProcessScope system(ProcessTable::Current().System());
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->Gone()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (slot->phase != Phase::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A stop for rebalance: the query first; a stack that refuses it hears
    // the cancel, and so does one whose rebalance another device vetoed.
    NTSTATUS status = pnp::SendPnp(slot->physical.get(), io::kMnQueryStopDevice);
    if (!NT_SUCCESS(status) || cancel) {
        pnp::SendPnp(slot->physical.get(), io::kMnCancelStopDevice);
        return status;
    }
    status = pnp::SendPnp(slot->physical.get(), io::kMnStopDevice);
    slot->phase = Phase::Stopped;
    return status;
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
        if (device == nullptr) {
            // A device node whose start failed has no stack left to remove.
            slot->phase = Phase::Removed;
            Unlist(slot);
            return STATUS_SUCCESS;
        }
        io::DeviceObject* physical = slot->physical.get();
        // An orderly removal asks the owners of handles first: each may close
        // its handle, or veto.
        if (veto && !pnp::NotifyTarget(physical, pnp::TargetEvent::QueryRemove)) {
            pnp::NotifyTarget(physical, pnp::TargetEvent::QueryRemoveFailed);
            return STATUS_PLUGPLAY_QUERY_VETOED;
        }
        // Opens that already found the device finish first: what they open counts.
        io::RefuseOpens(physical, true);
        if (veto) {
            // The query, vetoed by the stack or for a handle still open when
            // it reached the stack (the outstanding-open veto); a vetoed
            // query is cancelled down the stack.
            NTSTATUS status = pnp::SendPnp(physical, io::kMnQueryRemoveDevice);
            if (!NT_SUCCESS(status) || wdf::InUse(device)) {
                pnp::SendPnp(physical, io::kMnCancelRemoveDevice);
                io::RefuseOpens(physical, false);
                pnp::NotifyTarget(physical, pnp::TargetEvent::QueryRemoveFailed);
                return STATUS_PLUGPLAY_QUERY_VETOED;
            }
        }
        // The removal goes on: remove-pending before the stack is removed
        // (also for a removal no query preceded), remove-complete after.
        pnp::NotifyTarget(physical, pnp::TargetEvent::RemovePending);
        slot->device = nullptr;
        slot->phase = Phase::Removed;
        SendRemove(physical);
        pnp::NotifyTarget(physical, pnp::TargetEvent::RemoveComplete);
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
    io::RefuseOpens(slot.physical.get(), true);
    pnp::SendPnp(slot.physical.get(), io::kMnSurpriseRemoval);
    slot.phase = Phase::SurpriseRemoved;
    // The owners of handles learn that the device is gone: their handles no
    // longer reach it and are theirs to close.
    pnp::NotifyTarget(slot.physical.get(), pnp::TargetEvent::RemoveComplete);
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
        wdf::FxDevice* device = slot->device;
        if (device == nullptr) {
            // A device node whose start failed leaves the bus with no stack to tell.
            slot->phase = Phase::Removed;
            Unlist(slot);
            return STATUS_SUCCESS;
        }
        SurpriseRemoveLocked(*slot);
        handlesOpen = wdf::InUse(device);
        if (!handlesOpen) {
            // No handle to wait for: the remove follows at once.
            slot->device = nullptr;
            SendRemove(slot->physical.get());
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
        SendRemove(slot->physical.get());
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
    return slot->device != nullptr && slot->device.load()->inD0;
}

bool Host::Started(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->device != nullptr && slot->phase == Phase::Started;
}

std::wstring Host::InstanceId(size_t index) const { return SlotAt(index)->instanceId; }

Host::Status Host::DeviceStatus(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->phase == Phase::Started                                          ? Status::Started
           : slot->phase == Phase::Failed || slot->phase == Phase::StartFailed ? Status::Failed
                                                                                : Status::NotStarted;
}

ULONG Host::Problem(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->problem;
}

std::string Host::SecuritySddl(size_t index) const
{
    std::shared_ptr<Slot> slot = SlotAt(index);
    std::lock_guard<std::mutex> guard(slot->lock);
    return slot->physical != nullptr && slot->physical->security != nullptr ? se::ToSddl(*slot->physical->security)
                                                                            : std::string();
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
        if (!slot->Gone() && device != nullptr && wdf::InUse(device)) {
            SurpriseRemoveLocked(*slot);
            slot->device = nullptr;
            SendRemove(slot->physical.get());
        }
        if (slot->Gone() || device == nullptr) {
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
    CloseImage(state_->image);
    state_.reset();
    verifier::Report report = verifier::Check();
    verifier::SetLastUnloadReport(report);
    return report;
}

void* Host::Symbol(const char* name) const
{
    return state_ != nullptr && state_->image != nullptr ? dlsym(state_->image, name) : nullptr;
}

}  // namespace plat
