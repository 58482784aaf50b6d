/*
 * Test beds: a fresh machine per test, and with it a host with the driver
 * image ready to load, both made by the harness (harness.h). Every test ends
 * with the driver unloaded, the machine gone and the verifier clean (no pool,
 * objects, references, handles left).
 */
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "base/fault.h"
#include "base/verifier.h"
#include "debugview.h"
#include "harness.h"
#include "system/host.h"
#include "system/machine.h"

namespace plat::wdf {
struct FxDevice;
}
namespace plat::acpi {
class AcpiDevice;
}

namespace tvrx::test {

// Waits until the device's default queue holds `count` requests: a
// power-managed queue does while its device is out of D0.
void WaitUntilQueueHolds(plat::wdf::FxDevice* device, size_t count = 1);
void WaitUntilQueueHolds(WDFDEVICE device, size_t count = 1);

// A machine and nothing on it, for tests of the platform that play the
// driver themselves (or need none). No fault is armed at either end.
class MachineBed : public ::testing::Test {
protected:
    void SetUp() override;
    // Fixtures that hold more of the machine's objects release them first.
    void TearDown() override;

    // Options of the machine SetUp creates; the clock runs 100 times faster than real time.
    virtual plat::Machine::Options MachineOptions();
    // Ends the machine and has the harness make a fresh one of MachineOptions(),
    // with `firmware` behind its ACPI driver (nullptr: the native model).
    virtual void NewMachine(std::shared_ptr<plat::Firmware> firmware = nullptr);

    std::unique_ptr<plat::Machine> machine;
};

// A machine with a host for the driver image.
class Testbed : public MachineBed {
protected:
    void TearDown() override;

    // The clock runs 10 times faster than real time.
    plat::Machine::Options MachineOptions() override;
    // The host goes first (unloading the driver if it is loaded); the new machine gets a new one.
    void NewMachine(std::shared_ptr<plat::Firmware> firmware = nullptr) override;

    // Loads the driver and adds one device; both must succeed.
    void LoadAndAdd();
    // Loads, adds and starts the device; all must succeed.
    void Boot();
    // Unloads the driver; the unload report must be clean.
    void UnloadClean();
    // Waits until the firmware's notifications have reached the driver and
    // its work items are idle; the wait must not run out.
    void Settle();

    WDFDEVICE Device(size_t index = 0) { return host->Device(index); }
    // The ACPI device below a device that has its stack.
    plat::acpi::AcpiDevice& Below(size_t index = 0);
    // The driver's state of a device, as the debug view reads it. Tests
    // observe the driver through it, its I/O controls, traces, registry and files.
    debugview::Device View(size_t index = 0) { return debugview::ReadDevice(host->Device(index)); }

    std::unique_ptr<plat::Host> host;
};

// Fixture Base on a machine whose ACPI driver honours the cancellation of an
// evaluation, so that the driver's time-out ends a hung read (the framework
// reports the cancelled request as STATUS_IO_TIMEOUT). Whether Windows' ACPI
// driver does is not documented; the default machine's does not.
template <class Base>
class HonouringCancel : public Base {
protected:
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = Base::MachineOptions();
        options.acpiHonoursCancel = true;
        return options;
    }
};

}  // namespace tvrx::test
