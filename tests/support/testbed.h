/*
 * Test bed: a fresh machine and host per test, with the driver image ready to
 * load. Every test ends with the driver unloaded, the machine gone and the
 * verifier clean (no pool, objects, references, handles left).
 */
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "machine/fault.h"
#include "machine/host.h"
#include "machine/machine.h"
#include "machine/verifier.h"
#include "tvrx.h"

namespace tvrx::test {

class Testbed : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Options of the machine SetUp creates; the clock runs 10 times faster than real time.
    virtual plat::Machine::Options MachineOptions();

    // Loads the driver and adds one device; both must succeed.
    void LoadAndAdd();
    // Loads, adds and starts the device; all must succeed.
    void Boot();
    // Unloads the driver; the unload report must be clean.
    void UnloadClean();

    WDFDEVICE Device(size_t index = 0) { return host->Device(index); }
    PTVRX_DEVICE_CONTEXT Context(size_t index = 0) { return TvrxGetDeviceContext(host->Device(index)); }

    std::unique_ptr<plat::Machine> machine;
    std::unique_ptr<plat::Host> host;
};

}  // namespace tvrx::test
