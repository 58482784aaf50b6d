// The ACPI driver's enumeration: which firmware devices become physical
// device objects and with which IDs, the device the driver's stack sits on,
// and Notify reaching only the device it was raised on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "acpi/acpidevice.h"
#include "acpi/enumerate.h"
#include "firmware/acpica.h"
#include "firmware/acpiexec_parse.h"
#include "firmware/native.h"
#include "support/client.h"
#include "support/testbed.h"
#include "system/infsecurity.h"
#include "wdf/device.h"

namespace tvrx::test {
namespace {

using plat::AcpiObject;
using plat::FirmwareDevice;
using plat::NativeDevice;
using plat::NativeFirmware;
using plat::acpi::Enumerate;
using plat::acpi::Enumeration;
using plat::acpi::Exclusion;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kFirmware = fs::path(__FILE__).parent_path().parent_path() / "firmware";

FirmwareDevice Device(std::string path, std::optional<std::string> hid, std::optional<uint64_t> sta = std::nullopt)
{
    FirmwareDevice device;
    device.path = std::move(path);
    device.hid = std::move(hid);
    device.sta = sta;
    return device;
}

// ---------------------------------------------------------------- enumeration from a description

// EisaId() packs three letters in five bits each and four hex digits, stored
// byte-swapped; the ACPI driver reports the seven characters.
TEST(AcpiEnumeration, EisaIdsReadAsTheirSevenCharacters)
{
    EXPECT_EQ(plat::EisaIdText(0x0A0CD041), "PNP0C0A");  // EisaId ("PNP0C0A")
    EXPECT_EQ(plat::EisaIdText(0x090CD041), "PNP0C09");
    EXPECT_EQ(plat::EisaIdText(0x030AD041), "PNP0A03");
}

TEST(AcpiEnumeration, IdentifiersAreThoseWindowsReports)
{
    FirmwareDevice tvrx = Device("\\_SB.TVRX", "TVRX0001");
    tvrx.cids = {"PNP0C50", "ABCD0001"};
    tvrx.uid = "3";
    Enumeration enumeration = Enumerate({tvrx, Device("\\_SB.LID0", "PNP0C0D"), Device("\\_SB.LID1", "PNP0C0D")});
    ASSERT_EQ(enumeration.devices.size(), 3u);
    const plat::acpi::EnumeratedDevice& device = enumeration.devices[0];
    EXPECT_EQ(device.path, "\\_SB.TVRX");
    EXPECT_EQ(device.hardwareIds, (std::vector<std::string>{"ACPI\\TVRX0001", "*TVRX0001"}));
    EXPECT_EQ(device.compatibleIds,
              (std::vector<std::string>{"ACPI\\PNP0C50", "*PNP0C50", "ACPI\\ABCD0001", "*ABCD0001"}));
    EXPECT_EQ(device.instanceId, "ACPI\\TVRX0001\\3");
    EXPECT_TRUE(device.working);
    // Without a _UID, devices of one _HID are told apart by their order.
    EXPECT_EQ(enumeration.devices[1].instanceId, "ACPI\\PNP0C0D\\0");
    EXPECT_EQ(enumeration.devices[2].instanceId, "ACPI\\PNP0C0D\\1");
    EXPECT_TRUE(enumeration.skipped.empty());
}

TEST(AcpiEnumeration, DevicesItLeavesAloneAreListedWithTheirReason)
{
    FirmwareDevice pci = Device("\\_SB.PCI0.GFX0", std::nullopt);
    pci.hasAdr = true;
    FirmwareDevice unreadable = Device("\\_SB.UNRD", std::string());
    unreadable.hidError = "_HID is a Buffer";
    FirmwareDevice failing = Device("\\_SB.FAIL", "TVRX0001");
    failing.staStatus = STATUS_ACPI_FATAL;
    Enumeration enumeration = Enumerate({
        Device("\\_SB.NOID", std::nullopt),
        pci,
        unreadable,
        Device("\\_SB.SHRT", "TVRX001"),     // seven characters, but TVR + X001 is no PNP ID
        Device("\\_SB.LONG", "TVRX00011"),
        Device("\\_SB.LOWR", "tvrx0001"),    // letters must be upper-case
        Device("\\_SB.NHEX", "TVRX000G"),    // the last four are hexadecimal digits
        Device("\\_SB.PNPL", "PN10C0A"),     // a PNP ID has three letters
        Device("\\_SB.GONE", "TVRX0001", 0x0),
        Device("\\_SB.GONE.CHLD", "ABCD0001"),  // inside a device neither present nor functioning
        failing,
    });
    EXPECT_TRUE(enumeration.devices.empty());
    std::vector<std::pair<std::string, Exclusion>> reasons;
    for (const plat::acpi::SkippedDevice& skipped : enumeration.skipped) {
        reasons.emplace_back(skipped.path, skipped.reason);
        EXPECT_FALSE(skipped.detail.empty()) << skipped.path;
    }
    EXPECT_EQ(reasons, (std::vector<std::pair<std::string, Exclusion>>{
                           {"\\_SB.NOID", Exclusion::NoHid},
                           {"\\_SB.PCI0.GFX0", Exclusion::NoHid},
                           {"\\_SB.UNRD", Exclusion::UnreadableHid},
                           {"\\_SB.SHRT", Exclusion::InvalidHid},
                           {"\\_SB.LONG", Exclusion::InvalidHid},
                           {"\\_SB.LOWR", Exclusion::InvalidHid},
                           {"\\_SB.NHEX", Exclusion::InvalidHid},
                           {"\\_SB.PNPL", Exclusion::InvalidHid},
                           {"\\_SB.GONE", Exclusion::NotPresent},
                           {"\\_SB.GONE.CHLD", Exclusion::ParentNotPresent},
                           {"\\_SB.FAIL", Exclusion::StatusFailed},
                       }));
    EXPECT_NE(enumeration.skipped[1].detail.find("_ADR"), std::string::npos) << enumeration.skipped[1].detail;
}

// _STA bits: 0 present, 3 functioning. Present but not functioning is still a
// device (with a problem); not present but functioning (a dock, say) hides
// only itself, not the devices inside it.
TEST(AcpiEnumeration, StatusBitsDecidePresenceAndProblem)
{
    Enumeration enumeration = Enumerate({
        Device("\\_SB.BRKN", "TVRX0001", 0x07),
        Device("\\_SB.ONLY", "TVRX0002", 0x01),
        Device("\\_SB.DOCK", "PNP0C15", 0x08),
        Device("\\_SB.DOCK.CHLD", "ABCD0001"),
        Device("\\_SB.FINE", "ACPI000E", 0x0F),
    });
    ASSERT_EQ(enumeration.devices.size(), 4u);
    EXPECT_FALSE(enumeration.devices[0].working);
    EXPECT_EQ(enumeration.devices[0].problem, plat::acpi::kProblemFailedPostStart);
    EXPECT_FALSE(enumeration.devices[1].working);
    EXPECT_EQ(enumeration.devices[2].path, "\\_SB.DOCK.CHLD");
    EXPECT_TRUE(enumeration.devices[2].working) << "no _STA: present and functioning";
    EXPECT_TRUE(enumeration.devices[3].working);
    EXPECT_EQ(enumeration.devices[3].problem, 0u);
    ASSERT_EQ(enumeration.skipped.size(), 1u);
    EXPECT_EQ(enumeration.skipped[0].path, "\\_SB.DOCK");
}

TEST(AcpiEnumeration, FindDeviceTakesTheInstanceIdThenTheIdItStartsWith)
{
    FirmwareDevice second = Device("\\_SB.TVR2", "TVRX0001");
    second.uid = "7";
    FirmwareDevice compatible = Device("\\_SB.CMPT", "ABCD0001");
    compatible.cids = {"WXYZ0001"};
    Enumeration enumeration = Enumerate({Device("\\_SB.TVRX", "TVRX0001"), second, compatible});
    EXPECT_EQ(plat::acpi::FindDevice(enumeration, "ACPI\\TVRX0001\\7")->path, "\\_SB.TVR2");
    EXPECT_EQ(plat::acpi::FindDevice(enumeration, "acpi\\tvrx0001\\0")->path, "\\_SB.TVRX");
    EXPECT_EQ(plat::acpi::FindDevice(enumeration, "ACPI\\TVRX0001\\9")->path, "\\_SB.TVRX");
    EXPECT_EQ(plat::acpi::FindDevice(enumeration, "ACPI\\WXYZ0001\\0")->path, "\\_SB.CMPT");
    EXPECT_EQ(plat::acpi::FindDevice(enumeration, "ACPI\\TVRX0002\\0"), nullptr);
}

// The debugger's namespace listing: nodes with their address, and the value
// of an Integer or String Name when the line shows it whole (enumeration
// then need not evaluate it).
TEST(AcpiexecNamespace, NodeLinesGiveNamesTheirValues)
{
    std::vector<plat::acpiexec::NamespaceNode> nodes = plat::acpiexec::ParseFind(
        "- find _HID\n"
        "                  \\_SB.DECO._HID Integer      0x55d16314e5f0 001 = 000000000A0CD041\n"
        "                  \\_SB.TVRX._HID String       0x55d16314efa0 001 Len 08 \"TVRX0001\"\n"
        "                  \\_SB.CUTS._HID String       0x55d16314efa0 001 Len 0A \"TVRX0001\"\n"
        "                  \\_SB.QUOT._HID String       0x55d16314efa0 001 Len 03 \"a\"b\"\n"
        "                  \\_SB.DECO._CID Package      0x5629133df8f0 001 Elements 02\n"
        "                  \\_SB.DECO._STA Method       0x55d16314ece0 001 Args 0 Len 0003 Aml 0x55d16314e14a\n"
        "Found 6 objects\n");
    ASSERT_EQ(nodes.size(), 6u);
    EXPECT_EQ(nodes[0].path, "\\_SB.DECO._HID");
    EXPECT_EQ(nodes[0].address, 0x55d16314e5f0u);
    EXPECT_EQ(nodes[0].value, AcpiObject::Integer(0x0A0CD041));
    EXPECT_EQ(nodes[1].value, AcpiObject::String("TVRX0001"));
    EXPECT_FALSE(nodes[2].value) << "a String shown shorter than its length is evaluated instead";
    EXPECT_FALSE(nodes[3].value) << "a quote inside: the shown text cannot be trusted";
    EXPECT_FALSE(nodes[4].value);
    EXPECT_FALSE(nodes[5].value);
}

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
    firmware->Notify("\\_SB.LID0", TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE);
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(below->NotificationsDelivered() + below->NotificationsDropped(), 0u);
    EXPECT_FALSE(client.TakeSignal(event, 100));

    firmware->Notify(TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE);
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
    std::ifstream in(std::filesystem::path(__FILE__).parent_path().parent_path() / "driver" / "tavrix.inx");
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

TEST_F(AcpicaEnumeration, IdentificationObjectsAreReadAsTheAcpiDriverReadsThem)
{
    fs::path folder = fs::temp_directory_path() / ("tvrx-enumeration-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "ids.asl") << R"(
DefinitionBlock ("", "DSDT", 2, "TVRX", "IDS", 1)
{
    Scope (\_SB)
    {
        Device (PCI0)
        {
            Name (_ADR, Zero)
            Device (EC0) { Name (_HID, EisaId ("PNP0C09")) Name (_UID, "ec") }
        }
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (_CID, Package () { EisaId ("PNP0C0A"), "ABCD0001" })
            Name (_UID, 5)
            Method (_STA) { Return (0x07) }
        }
    }
}
)";
    plat::AcpicaFirmware firmware(folder / "ids.asl");
    fs::remove_all(folder);
    std::vector<FirmwareDevice> devices = firmware.Devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].path, "\\_SB.PCI0");
    EXPECT_TRUE(devices[0].hasAdr);
    EXPECT_FALSE(devices[0].hid);
    EXPECT_EQ(devices[1].hid, "PNP0C09");
    EXPECT_EQ(devices[1].uid, "ec");
    EXPECT_EQ(devices[2].cids, (std::vector<std::string>{"PNP0C0A", "ABCD0001"}));
    EXPECT_EQ(devices[2].uid, "5");
    EXPECT_EQ(devices[2].sta, 0x07u);

    Enumeration enumeration = Enumerate(devices);
    ASSERT_EQ(enumeration.devices.size(), 2u);
    EXPECT_EQ(enumeration.devices[0].instanceId, "ACPI\\PNP0C09\\ec");
    EXPECT_EQ(enumeration.devices[1].instanceId, "ACPI\\TVRX0001\\5");
    EXPECT_EQ(enumeration.devices[1].problem, plat::acpi::kProblemFailedPostStart);
}

TEST_F(AcpicaEnumeration, NoDeviceIsAddedOnTablesWithoutOneForTheDriver)
{
    machine->SetFirmware(std::make_shared<plat::AcpicaFirmware>(kFirmware / "enumeration" / "no-device.asl"));
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    EXPECT_EQ(host->AddDevice(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host->DeviceCount(), 0u);
}

}  // namespace
}  // namespace tvrx::test
