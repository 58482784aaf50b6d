#include "support/testbed.h"

namespace tvrx::test {

plat::Machine::Options MachineBed::MachineOptions()
{
    plat::Machine::Options options;
    options.clockRate = 100.0;
    return options;
}

void MachineBed::SetUp()
{
    plat::fault::Reset();
    machine = std::make_unique<plat::Machine>(MachineOptions());
}

void MachineBed::TearDown()
{
    machine.reset();
    plat::fault::Reset();
    plat::verifier::Report report = plat::verifier::Check();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

plat::Machine::Options Testbed::MachineOptions()
{
    plat::Machine::Options options;
    // Ten times real time: a 3-second firmware time-out costs 300 ms, which a
    // loaded machine (sanitizers, parallel tests) still never mistakes for a hang.
    options.clockRate = 10.0;
    return options;
}

void Testbed::SetUp()
{
    MachineBed::SetUp();
    host = std::make_unique<plat::Host>(*machine);
}

void Testbed::TearDown()
{
    if (host && host->Loaded()) {
        plat::verifier::Report report = host->Unload();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }
    host.reset();
    MachineBed::TearDown();
}

void Testbed::LoadAndAdd()
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
}

void Testbed::Boot()
{
    LoadAndAdd();
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
}

void Testbed::UnloadClean()
{
    plat::verifier::Report report = host->Unload();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

}  // namespace tvrx::test
