#include "support/testbed.h"

#include <mutex>
#include <thread>

#include "wdf/queue.h"

namespace tvrx::test {

void WaitUntilQueueHolds(plat::wdf::FxDevice* device, size_t count)
{
    plat::wdf::FxQueue* queue = device->defaultQueue;
    for (size_t held = 0; held < count; std::this_thread::yield()) {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        held = queue->held.size();
    }
}

void WaitUntilQueueHolds(WDFDEVICE device, size_t count)
{
    WaitUntilQueueHolds(plat::wdf::ResolveAs<plat::wdf::FxDevice>(device, plat::wdf::FxType::Device, "test"), count);
}

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
    ASSERT_EQ(host->AddBoundDevices(), STATUS_SUCCESS);
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
