/* The harness: making the machine, bringing the driver up, settling, and opening the device. */
#include "harness.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include <initguid.h>  // this unit defines the device's interface GUID
#include <windows.h>

#include "acpi/acpidevice.h"
#include "firmware/firmware.h"
#include "machine/physmem.h"
#include "tvrxioctl.h"
#include "um/client.h"
#include "wdf/workitem.h"

namespace tvrx::harness {

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::unique_ptr<plat::Machine> MakeMachine(const Options& options)
{
    auto machine = std::make_unique<plat::Machine>(options.machine);
    if (options.firmware != nullptr) {
        machine->SetFirmware(options.firmware);
    }
    for (const auto& [address, file] : options.memory) {
        machine->Memory().AddRegion(address, ReadFile(file));
    }
    return machine;
}

const char* StepName(Step step)
{
    static const char* const kNames[] = {"load", "device add", "device start"};
    return kNames[static_cast<size_t>(step)];
}

NTSTATUS Boot(plat::Host& host, Step last, Step* failed, const std::wstring& instanceId)
{
    auto take = [&](Step step, NTSTATUS status) {
        if (!NT_SUCCESS(status) && failed != nullptr) {
            *failed = step;
        }
        return status;
    };
    NTSTATUS status = STATUS_SUCCESS;
    if (!host.Loaded()) {
        status = take(Step::Load, host.Load());
    }
    if (NT_SUCCESS(status) && last >= Step::Add && host.DeviceCount() == 0) {
        status = take(Step::Add, instanceId.empty() ? host.AddBoundDevices() : host.AddDevice(instanceId));
    }
    if (NT_SUCCESS(status) && last >= Step::Start) {
        status = take(Step::Start, host.Start());
    }
    return status;
}

// A notification's handler queues the driver's work: the notifications are
// waited for first, then the work items they (or a power-up) queued.
bool Settle(const plat::Host& host, std::chrono::milliseconds limit, const std::function<bool()>& stopWaiting)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    for (size_t i = 0; i < host.DeviceCount(); ++i) {
        if (std::shared_ptr<plat::acpi::AcpiDevice> below = host.Below(i);
            below != nullptr && !below->WaitNotificationsIdle(left())) {
            return false;
        }
    }
    while (!plat::wdf::WaitForWorkItemsIdle(std::chrono::milliseconds(1))) {
        if ((stopWaiting && stopWaiting()) || left().count() <= 0) {
            return false;
        }
    }
    return true;
}

std::wstring DevicePath() { return plat::um::FirstDeviceInterface(GUID_DEVINTERFACE_TAVRIX); }

NTSTATUS OpenDevice(ACCESS_MASK access, HANDLE* handle)
{
    std::wstring path = DevicePath();
    if (path.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return plat::um::OpenDevice(path, access, handle);
}

Rig::Rig(Options options)
    : options_(std::move(options)), machine_(MakeMachine(options_)),
      host_(std::make_unique<plat::Host>(*machine_, options_.host))
{
}

Rig::~Rig()
{
    Unload();
    host_.reset();
    machine_.reset();
}

NTSTATUS Rig::Boot(Step last, Step* failed) { return harness::Boot(*host_, last, failed, options_.instanceId); }

plat::verifier::Report Rig::Unload() { return host_->Loaded() ? host_->Unload() : plat::verifier::Report{}; }

}  // namespace tvrx::harness
