/*
 * Test beds: a fresh machine per test, and with it a host with the driver
 * image ready to load. Every test ends with the driver unloaded, the machine
 * gone and the verifier clean (no pool, objects, references, handles left).
 */
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "base/fault.h"
#include "base/verifier.h"
#include "system/host.h"
#include "system/machine.h"
#include "tvrx.h"

namespace tvrx::test {

// A machine and nothing on it, for tests of the platform that play the
// driver themselves (or need none). No fault is armed at either end.
class MachineBed : public ::testing::Test {
protected:
    void SetUp() override;
    // Fixtures that hold more of the machine's objects release them first.
    void TearDown() override;

    // Options of the machine SetUp creates; the clock runs 100 times faster than real time.
    virtual plat::Machine::Options MachineOptions();

    std::unique_ptr<plat::Machine> machine;
};

// A machine with a host for the driver image.
class Testbed : public MachineBed {
protected:
    void SetUp() override;
    void TearDown() override;

    // The clock runs 10 times faster than real time.
    plat::Machine::Options MachineOptions() override;

    // Loads the driver and adds one device; both must succeed.
    void LoadAndAdd();
    // Loads, adds and starts the device; all must succeed.
    void Boot();
    // Unloads the driver; the unload report must be clean.
    void UnloadClean();

    WDFDEVICE Device(size_t index = 0) { return host->Device(index); }
    PTVRX_DEVICE_CONTEXT Context(size_t index = 0) { return TvrxGetDeviceContext(host->Device(index)); }

    std::unique_ptr<plat::Host> host;
};

}  // namespace tvrx::test
