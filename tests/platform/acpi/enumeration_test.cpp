// The ACPI driver's enumeration from a description of the firmware's devices:
// which become physical device objects, with which IDs, and why the others
// are left alone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "acpi/enumerate.h"
#include "firmware/acpica.h"
#include "firmware/firmware.h"

namespace tvrx::test {
namespace {

using plat::FirmwareDevice;
using plat::acpi::Enumerate;
using plat::acpi::Enumeration;
using plat::acpi::Exclusion;
namespace fs = std::filesystem;

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

// ---------------------------------------------------------------- ACPI tables

class AcpicaEnumeration : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!plat::AcpicaFirmware::ToolsAvailable()) {
            GTEST_SKIP() << "iasl and acpiexec are not installed";
        }
    }
};

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

}  // namespace
}  // namespace tvrx::test
