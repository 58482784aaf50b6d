// The driver on ACPI tables: bound to its device beside a decoy, following
// the mode changes of the sample tables, and kept from starting by malformed
// ones. (How the package binds and where Notify goes, with a driver the
// platform's tests play: tests/platform/system/binding_test.cpp.)
#include <gmock/gmock.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "acpi/acpidevice.h"
#include "drivernames.h"
#include "firmware/acpica.h"
#include "support/client.h"
#include "support/testbed.h"
#include "wdf/device.h"
#include "wpp/wpp.h"

namespace tvrx::test {
namespace {

using plat::AcpicaFirmware;
using plat::AcpiObject;
using plat::FirmwareDevice;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kFirmware = fs::path(TVRX_SOURCE_DIR) / "firmware";
const fs::path kSample = kFirmware / "tavrix-sample.asl";

// ---------------------------------------------------------------- ACPI tables

class AcpicaEnumeration : public Testbed {
protected:
    void SetUp() override
    {
        if (!plat::AcpicaFirmware::ToolsAvailable()) {
            GTEST_SKIP() << "iasl and acpiexec are not installed";
        }
        Testbed::SetUp();
    }
    // The debugger answers in real time, so the driver's time-out runs in real time too.
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = Testbed::MachineOptions();
        options.clockRate = 1.0;
        return options;
    }
};

// The laptop case: a DSDT whose first device answers the driver's _DSM (it
// checks no UUID), and the Tavrix device in an SSDT loaded beside it. The
// driver binds to TVRX0001 and follows its mode changes; the decoy's Notify
// does not reach it.
TEST_F(AcpicaEnumeration, TheDeviceInAnSsdtBindsThoughADecoyAnswersTheDsmFirst)
{
    auto firmware = std::make_shared<plat::AcpicaFirmware>(
        std::vector<fs::path>{kFirmware / "enumeration" / "decoy-dsdt.asl", kFirmware / "tavrix-sample.asl"},
        plat::AcpicaFirmware::Options());
    std::vector<FirmwareDevice> devices = firmware->Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].path, "\\_SB.DECO") << "the DSDT's device comes first";
    EXPECT_EQ(devices[1].path, "\\_SB.TVRX");
    machine->SetFirmware(firmware);
    Boot();
    auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test");
    EXPECT_EQ(plat::acpi::DeviceBelow(fx->lower)->Path(), "\\_SB.TVRX");

    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);
    AcpiObject ignored;
    ASSERT_EQ(firmware->Evaluate("\\_SB.DECO", "SMOD", {AcpiObject::Integer(2)}, &ignored), STATUS_SUCCESS);
    EXPECT_FALSE(client.TakeSignal(event, 300)) << "Notify on the decoy";
    ASSERT_EQ(firmware->SetDeviceMode(3), STATUS_SUCCESS);
    EXPECT_TRUE(client.WaitSignal(event));
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    EXPECT_EQ(client.GetEntry(&info).status, STATUS_SUCCESS);
    EXPECT_EQ(info.DeviceMode, 3u);
    client.CloseObject(event);
}

// ---------------------------------------------------------------- the driver on the sample tables

class AcpicaDriver : public AcpicaEnumeration {};

TEST_F(AcpicaDriver, StartsFromTheSampleAndFollowsItsModeChanges)
{
    auto firmware = std::make_shared<AcpicaFirmware>(kSample);
    machine->SetFirmware(firmware);
    Boot();
    tvrx::debugview::Device view = View();
    EXPECT_EQ(view.currentDeviceMode, 1u);
    const tvrx::debugview::ModeTable& table = view.tables[1];
    EXPECT_EQ(table.tag, 0x21u);
    ASSERT_EQ(table.entryCount, 5u);
    EXPECT_EQ(table.rows.at(4).mode, 4u);
    EXPECT_EQ(table.rows.at(4).value3, 124u);

    std::ifstream exported(tvrx::SarExportFile(machine->DriveRoot()), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(exported)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, firmware->SarTable());

    ASSERT_EQ(firmware->SetDeviceMode(3), STATUS_SUCCESS);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (View().currentDeviceMode != 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(View().currentDeviceMode, 3u);
}

TEST_F(AcpicaDriver, MalformedSampleKeepsTheDeviceFromStarting)
{
    fs::path malformed = kSample.parent_path() / "tavrix-malformed.asl";
    machine->SetFirmware(std::make_shared<AcpicaFirmware>(malformed));
    LoadAndAdd();
    EXPECT_NE(host->Start(), STATUS_SUCCESS);
    // The failed start removed the stack (IRP_MN_REMOVE_DEVICE after a failed
    // IRP_MN_START_DEVICE); what the driver did shows in its recorder log.
    std::vector<std::string> said;
    for (const plat::trace::Record& record : plat::trace::RecorderRecords()) {
        std::string text = record.text;
        if (text.find("tag 0x") != std::string::npos || text.find("needed") != std::string::npos ||
            std::string(record.function) == "TvrxWdfEvtDeviceReleaseHardware") {
            said.push_back(text.substr(text.find(' ') + 1));
        }
    }
    // Table 0 was taken; table 1's header was read before its length was
    // found wanting; release-hardware follows the failed prepare-hardware
    // (KMDF's FailedOwnHardware state).
    EXPECT_THAT(said, testing::ElementsAre(testing::StartsWith("table 0 tag 0x"),
                                           "table 1 tag 0x31, 6 entries",
                                           testing::StartsWith("table package of"), "Entry", "Exit"));
    EXPECT_EQ(host->Device(), nullptr);
}

}  // namespace
}  // namespace tvrx::test
