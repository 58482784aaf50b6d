// The driver on firmware written in ASL and run by ACPICA: it starts from the
// sample, follows its mode changes, and does not start on a malformed one.
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "drivernames.h"
#include "firmware/acpica.h"
#include "support/testbed.h"
#include "wpp/wpp.h"

namespace {

using plat::AcpicaFirmware;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kSample = fs::path(TVRX_SOURCE_DIR) / "firmware" / "tavrix-sample.asl";

// The machine clock runs in real time: the debugger answers in real time too,
// and the driver's 3-second time-out must not shrink below its answer time.
class AcpicaDriver : public tvrx::test::Testbed {
protected:
    void SetUp() override
    {
        if (!AcpicaFirmware::ToolsAvailable()) {
            GTEST_SKIP() << "iasl and acpiexec are not installed";
        }
        Testbed::SetUp();
    }
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = Testbed::MachineOptions();
        options.clockRate = 1.0;
        return options;
    }
};

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
