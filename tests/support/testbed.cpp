#include "support/testbed.h"

#include <mutex>
#include <stdexcept>
#include <thread>

#include "acpi/acpidevice.h"
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
    NewMachine();
}

void MachineBed::NewMachine(std::shared_ptr<plat::Firmware> firmware)
{
    machine.reset();
    harness::Options options;
    options.machine = MachineOptions();
    options.firmware = std::move(firmware);
    machine = harness::MakeMachine(options);
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

void Testbed::NewMachine(std::shared_ptr<plat::Firmware> firmware)
{
    host.reset();
    MachineBed::NewMachine(std::move(firmware));
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
    harness::Step failed = harness::Step::Load;
    ASSERT_EQ(harness::Boot(*host, harness::Step::Add, &failed), STATUS_SUCCESS) << harness::StepName(failed);
}

void Testbed::Boot()
{
    harness::Step failed = harness::Step::Load;
    ASSERT_EQ(harness::Boot(*host, harness::Step::Start, &failed), STATUS_SUCCESS) << harness::StepName(failed);
}

void Testbed::Settle() { ASSERT_TRUE(harness::Settle(*host)) << "the driver's work did not settle"; }

plat::acpi::AcpiDevice& Testbed::Below(size_t index)
{
    std::shared_ptr<plat::acpi::AcpiDevice> below = host->Below(index);
    if (below == nullptr) {
        throw std::logic_error("the device has no stack");
    }
    return *below;
}

void Testbed::UnloadClean()
{
    plat::verifier::Report report = host->Unload();
    EXPECT_TRUE(report.Clean()) << report.Text();
}

}  // namespace tvrx::test
