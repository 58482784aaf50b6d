/*
 * Beds for the platform's own tests: a fresh part of a machine per test, made
 * of the layers the test's own layer sees, and the verifier clean at its end.
 *
 * support/kernel.h gives the kernel's part (ntos and the layers on it),
 * support/machinebed.h the whole machine (the system layer).
 */
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "base/fault.h"
#include "base/verifier.h"
#include "machine/hardware.h"

namespace tvrx::test {

// A fixture with a fresh M (a piece of machine that takes M::Options) and no
// fault armed; at its end the verifier must be clean.
template <class M>
class Bed : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::fault::Reset();
        machine = std::make_unique<M>(MachineOptions());
    }
    // Fixtures that hold more of the machine's objects release them first.
    void TearDown() override
    {
        machine.reset();
        plat::fault::Reset();
        plat::verifier::Report report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    // Options of the machine SetUp creates; the clock runs 100 times faster than real time.
    virtual typename M::Options MachineOptions()
    {
        typename M::Options options;
        options.clockRate = 100.0;
        return options;
    }

    std::unique_ptr<M> machine;
};

}  // namespace tvrx::test

