/*
 * The harness: a machine with the driver on it, as the tests, the
 * benchmarks, the fuzzers and the simulator all stand on one. It makes the
 * machine (clock rate, folder, firmware, physical memory, the ACPI driver's
 * settings), loads the driver, adds and starts its device, settles (waits
 * until the firmware's notifications have reached the driver and its work
 * items are idle), reaches the ACPI device below the device, and finds and
 * opens the device as a user-mode client does, through its interface.
 *
 * Nothing else assembles a machine: a program that needs one makes a Rig,
 * or, where it keeps the machine and the host itself (the test beds),
 * makes them with MakeMachine and brings the driver up with Boot.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "system/host.h"
#include "system/machine.h"

namespace plat {
class Firmware;
namespace acpi {
class AcpiDevice;
}
}  // namespace plat

namespace tvrx::harness {

struct Options {
    // The hardware (clock rate, folder, platform capabilities) and the ACPI
    // driver's settings (whether it honours the cancellation of an evaluation).
    plat::Machine::Options machine;
    // The firmware behind the ACPI driver; nullptr: the machine's native model.
    std::shared_ptr<plat::Firmware> firmware;
    // Files whose bytes the machine's physical memory holds at those addresses.
    std::vector<std::pair<uint64_t, std::filesystem::path>> memory;
    // The image and driver package the host loads and installs.
    plat::Host::Options host;
    // The device Boot adds; empty: every device the driver package binds.
    std::wstring instanceId;
};

// A machine as the options describe it; std::runtime_error ("cannot read
// FILE") when a memory file cannot be read.
std::unique_ptr<plat::Machine> MakeMachine(const Options& options);

// The steps that bring the driver up, in their order.
enum class Step { Load, Add, Start };
const char* StepName(Step step);  // "load", "device add", "device start"

// Brings the driver up to `last`: loads it unless it is loaded, adds the
// device (instanceId; empty: those the package binds) unless one was added,
// and starts the first device. STATUS_SUCCESS, or the status of the step that
// failed (named in *failed); the steps after it are not taken.
NTSTATUS Boot(plat::Host& host, Step last = Step::Start, Step* failed = nullptr, const std::wstring& instanceId = {});

// Waits until the firmware's notifications of every device have been handed
// to the driver and the framework's work items are idle, so that what the
// driver does on a notification (or at D0 entry) is done. While work items
// still run, stopWaiting (when given) is asked every millisecond or so; true
// gives up. False when it gave up or `limit` (real time) ran out.
bool Settle(const plat::Host& host, std::chrono::milliseconds limit = std::chrono::seconds(10),
            const std::function<bool()>& stopWaiting = {});

// The device's path as a client finds it: the first path the configuration
// manager lists for the device's interface class ("" when no device exposes it).
std::wstring DevicePath();
// Opens that path for `access` in the calling thread's process, as
// CreateFileW does without FILE_FLAG_OVERLAPPED; STATUS_OBJECT_NAME_NOT_FOUND
// when no device exposes the interface.
NTSTATUS OpenDevice(ACCESS_MASK access, HANDLE* handle);

// A machine and a host for the driver image on it, ended in that order: the
// driver is unloaded (if it is still loaded), then the machine goes.
class Rig {
public:
    explicit Rig(Options options = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    plat::Machine& Machine() { return *machine_; }
    plat::Host& Host() { return *host_; }

    // Boot on this rig's host with its options' device.
    NTSTATUS Boot(Step last = Step::Start, Step* failed = nullptr);
    bool Settle(std::chrono::milliseconds limit = std::chrono::seconds(10),
                const std::function<bool()>& stopWaiting = {}) const
    {
        return harness::Settle(*host_, limit, stopWaiting);
    }
    // The ACPI device below the device (nullptr while it has no stack).
    std::shared_ptr<plat::acpi::AcpiDevice> Below(size_t index = 0) const { return host_->Below(index); }
    // Unloads the driver if it is loaded: the verifier's report (clean when it was not loaded).
    plat::verifier::Report Unload();

private:
    Options options_;
    std::unique_ptr<plat::Machine> machine_;
    std::unique_ptr<plat::Host> host_;
};

}  // namespace tvrx::harness
