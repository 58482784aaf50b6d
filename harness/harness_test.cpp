/*
 * The harness's own promises, on which every program that stands on it
 * relies: a settled machine has done what a notification asked of the
 * driver, and bringing the driver up stops at the step that failed.
 */
#include "harness.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "acpi/acpidevice.h"
#include "base/fault.h"
#include "base/verifier.h"
#include "debugview.h"
#include "firmware/native.h"
#include "um/client.h"

namespace tvrx::harness {
namespace {

class HarnessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::fault::Reset();
        firmware = plat::MakeNativeFirmware();
    }

    void TearDown() override
    {
        firmware->ClearFaults();  // a read still hung must not keep the unload waiting
        rig.reset();
        firmware.reset();
        plat::verifier::Report report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    Rig& MakeRig()
    {
        Options options;
        options.firmware = firmware;
        rig = std::make_unique<Rig>(options);
        return *rig;
    }

    std::shared_ptr<plat::NativeFirmware> firmware;
    std::unique_ptr<Rig> rig;
};

// The driver reads the mode on a work item its notification handler queues.
// The read is held in the firmware until Settle, still waiting, asks whether
// to go on: a Settle that returned before the notification was handled or
// before its work item ended would find the old mode.
TEST_F(HarnessTest, SettleReturnsOnlyOnceTheNotifiedReadHasEnded)
{
    Rig& machine = MakeRig();
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
    ASSERT_TRUE(machine.Settle());
    const uint32_t before = debugview::ReadDevice(machine.Host().Device()).currentDeviceMode;
    const uint64_t mode = before == 2 ? 3 : 2;

    plat::NativeFirmware::Faults faults = firmware->GetFaults();
    faults.hang = true;
    firmware->SetFaults(faults);
    firmware->SetDeviceMode(mode);
    firmware->Notify(debugview::DriverLimits().modeChangeNotify);

    bool released = false;
    bool settled = machine.Settle(std::chrono::seconds(10), [&] {
        if (!released && firmware->HungEvaluations() > 0) {
            faults.hang = false;
            firmware->SetFaults(faults);  // the held read answers now
            released = true;
        }
        return false;
    });
    EXPECT_TRUE(settled);
    EXPECT_TRUE(released) << "Settle did not wait while the driver's read was held";
    EXPECT_EQ(debugview::ReadDevice(machine.Host().Device()).currentDeviceMode, mode);
    EXPECT_EQ(machine.Below()->NotificationsDelivered(), 1u);
}

// A firmware whose device has another hardware ID: no device binds, so the
// add fails, Boot names it, and the start is not tried (it would find no
// device). Until a device is started a client finds nothing to open.
TEST_F(HarnessTest, BootStopsAtTheFailingStepAndNothingOpensUntilStarted)
{
    plat::NativeDevice identity = plat::NativeFirmware::DefaultIdentity();
    identity.hid = plat::AcpiObject::String("OTHR0001");
    firmware->SetIdentity(identity);
    Rig& machine = MakeRig();

    Step failed = Step::Start;
    EXPECT_EQ(machine.Boot(Step::Start, &failed), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(failed, Step::Add);
    EXPECT_TRUE(machine.Host().Loaded());
    EXPECT_EQ(machine.Host().DeviceCount(), 0u);
    EXPECT_EQ(machine.Below(), nullptr);

    plat::um::Process client("client");
    HANDLE device = nullptr;
    EXPECT_EQ(client.Run([&] { return OpenDevice(GENERIC_READ, &device); }), STATUS_OBJECT_NAME_NOT_FOUND);

    firmware->SetIdentity(plat::NativeFirmware::DefaultIdentity());
    ASSERT_EQ(machine.Boot(Step::Add, &failed), STATUS_SUCCESS);
    EXPECT_EQ(client.Run([&] { return OpenDevice(GENERIC_READ, &device); }), STATUS_OBJECT_NAME_NOT_FOUND)
        << "an added device that has not started exposes no interface";
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
    ASSERT_EQ(client.Run([&] { return OpenDevice(GENERIC_READ, &device); }), STATUS_SUCCESS);
    client.Run([&] { CloseHandle(device); });
}

}  // namespace
}  // namespace tvrx::harness
