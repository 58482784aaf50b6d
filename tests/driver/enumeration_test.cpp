// The driver on the ACPI driver's enumeration: the device its package binds
// to, its stack on the device at its path, and Notify reaching it only from
// its own device, on the native model and on ACPI tables.
#include <gmock/gmock.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "acpi/acpidevice.h"
#include "drivernames.h"
#include "firmware/acpica.h"
#include "firmware/native.h"
#include "support/client.h"
#include "support/testbed.h"
#include "system/infsecurity.h"
#include "wdf/device.h"
#include "wpp/wpp.h"

namespace tvrx::test {
namespace {

using plat::AcpicaFirmware;
using plat::AcpiObject;
using plat::FirmwareDevice;
using plat::NativeDevice;
using plat::NativeFirmware;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kFirmware = fs::path(TVRX_SOURCE_DIR) / "firmware";
const fs::path kSample = kFirmware / "tavrix-sample.asl";

// ---------------------------------------------------------------- the machine with the native model

class NativeEnumeration : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        firmware = &dynamic_cast<NativeFirmware&>(machine->Firmware());
    }
    NativeFirmware* firmware = nullptr;
};

// Windows starts no driver on a device its ACPI driver did not enumerate:
// the add fails and nothing of the driver's device is left.
TEST_F(NativeEnumeration, NoDeviceIsAddedWhenTheFirmwareHasNoneForTheDriver)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    auto variant = [](auto change) {
        NativeDevice identity = NativeFirmware::DefaultIdentity();
        change(identity);
        return identity;
    };
    const std::vector<std::pair<const char*, NativeDevice>> variants = {
        {"_STA 0", variant([](NativeDevice& d) { d.sta = AcpiObject::Integer(0); })},
        {"no _HID", variant([](NativeDevice& d) { d.hid.reset(); })},
        {"another _HID", variant([](NativeDevice& d) { d.hid = AcpiObject::String("ABCD0001"); })},
        {"an invalid _HID", variant([](NativeDevice& d) { d.hid = AcpiObject::String("TVRX000G"); })},
        {"a Buffer _HID", variant([](NativeDevice& d) { d.hid = AcpiObject::Buffer({'T', 'V'}); })},
    };
    for (const auto& [what, identity] : variants) {
        firmware->SetIdentity(identity);
        EXPECT_EQ(host->AddDevice(), STATUS_NO_SUCH_DEVICE) << what;
        EXPECT_EQ(host->DeviceCount(), 0u) << what;
    }
    EXPECT_TRUE(plat::wdf::LiveDevices().empty());

    // Named by its compatible ID, at a path of its own, the device is found and started.
    firmware->SetIdentity(variant([](NativeDevice& d) {
        d.path = "\\_SB.PCI0.LPCB.TVRX";
        d.hid = AcpiObject::String("ABCD0001");
        d.cid = AcpiObject::Package({AcpiObject::Integer(0x0A0CD041), AcpiObject::String("TVRX0001")});
    }));
    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host->Start(), STATUS_SUCCESS) << "the driver's evaluations reach the device at its path";
}

TEST_F(NativeEnumeration, NotifyOnAnotherDeviceNeverReachesTheDriver)
{
    NativeDevice lid;
    lid.path = "\\_SB.LID0";
    lid.hid = AcpiObject::Integer(0x0D0CD041);  // EisaId ("PNP0C0D")
    firmware->SetOtherDevices({lid});
    Boot();
    auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test");
    std::shared_ptr<plat::acpi::AcpiDevice> below = plat::acpi::DeviceBelow(fx->lower);
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(below->Path(), NativeFirmware::kDevicePath);

    Client client("client");
    HANDLE event = nullptr;
    ASSERT_EQ(client.OpenWithEvent(&event), STATUS_SUCCESS);
    firmware->SetDeviceMode(3);
    firmware->Notify("\\_SB.LID0", debugview::DriverLimits().modeChangeNotify);
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(below->NotificationsDelivered() + below->NotificationsDropped(), 0u);
    EXPECT_FALSE(client.TakeSignal(event, 100));

    firmware->Notify(debugview::DriverLimits().modeChangeNotify);
    EXPECT_TRUE(client.WaitSignal(event));
    client.CloseObject(event);
}

// The Plug and Play manager binds from the driver package: a device is added
// because a model of the INF names its ID, whatever else answers first. The
// same machine with a package that names the other device binds that one
// instead; a package that cannot be read fails the installation by file and line.
TEST_F(NativeEnumeration, TheDriverPackageDecidesWhichDeviceBinds)
{
    NativeDevice other;
    other.path = "\\_SB.DECO";
    other.hid = AcpiObject::String("ABCD0002");
    firmware->SetOtherDevices({other});
    auto pathBelow = [this](size_t index) {
        auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(index), plat::wdf::FxType::Device, "test");
        return plat::acpi::DeviceBelow(fx->lower)->Path();
    };

    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    ASSERT_EQ(host->AddBoundDevices(), STATUS_SUCCESS);
    ASSERT_EQ(host->DeviceCount(), 1u);
    EXPECT_EQ(pathBelow(0), NativeFirmware::kDevicePath);
    UnloadClean();

    const std::filesystem::path folder = machine->Folder();
    std::ifstream in(std::filesystem::path(TVRX_SOURCE_DIR) / "driver" / "tavrix.inx");
    std::stringstream text;
    text << in.rdbuf();
    std::string inf = text.str();
    for (size_t at = inf.find("ACPI\\TVRX0001"); at != std::string::npos; at = inf.find("ACPI\\TVRX0001", at)) {
        inf.replace(at, 13, "ACPI\\ABCD0002");
    }
    std::ofstream(folder / "other.inf") << inf;
    plat::Host::Options options;
    options.infPath = (folder / "other.inf").string();
    host = std::make_unique<plat::Host>(*machine, options);
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    ASSERT_EQ(host->AddBoundDevices(), STATUS_SUCCESS);
    ASSERT_EQ(host->DeviceCount(), 1u);
    EXPECT_EQ(pathBelow(0), "\\_SB.DECO") << "the package names the other device";
    UnloadClean();

    std::ofstream(folder / "broken.inf") << "[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer\n";
    options.infPath = (folder / "broken.inf").string();
    host = std::make_unique<plat::Host>(*machine, options);
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    try {
        host->AddBoundDevices();
        ADD_FAILURE() << "a malformed package installed";
    } catch (const plat::InfError& error) {
        EXPECT_NE(std::string(error.what()).find("broken.inf:3:"), std::string::npos) << error.what();
    }
    EXPECT_EQ(host->DeviceCount(), 0u);
}

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

TEST_F(AcpicaEnumeration, NoDeviceIsAddedOnTablesWithoutOneForTheDriver)
{
    machine->SetFirmware(std::make_shared<plat::AcpicaFirmware>(kFirmware / "enumeration" / "no-device.asl"));
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    EXPECT_EQ(host->AddDevice(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host->DeviceCount(), 0u);
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
