// Binding a driver to what the ACPI driver enumerated: the device its
// package binds to, its stack on the device at its path, and Notify reaching
// it only from its own device, on the native model and on ACPI tables.
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "acpi/acpidevice.h"
#include "base/verifier.h"
#include "firmware/acpica.h"
#include "firmware/native.h"
#include "support/playeddriver.h"
#include "system/infsecurity.h"
#include "wdf/device.h"

namespace tvrx::test {
namespace {

using plat::AcpiObject;
using plat::NativeDevice;
using plat::NativeFirmware;
namespace fs = std::filesystem;

const fs::path kFirmware = fs::path(TVRX_SOURCE_DIR) / "firmware";

// A driver package for the played driver whose one model names `id`.
std::string Package(const std::string& id)
{
    return "[Version]\nSignature = \"$Windows NT$\"\n"
           "[Manufacturer]\nMaker = Models\n"
           "[Models]\nPlayed device = Install, " + id + "\n"
           "[Install]\n"
           "[Install.Services]\nAddService = tavrix, 0x2, Service\n"
           "[Service]\nServiceBinary = %13%\\played.sys\n";
}

// ---------------------------------------------------------------- a driver the program plays

using PlayedLoad = PlayedDriverBed;

// A driver linked into the program is loaded as an image is: its code is the
// house's while it is loaded and not after, a failed DriverEntry leaves
// nothing loaded, and there is no image to look symbols up in.
TEST_F(PlayedLoad, APlayedDriverIsTheHousesWhileLoadedAndAFailedEntryLeavesNothing)
{
    const void* code = reinterpret_cast<const void*>(&PlayedDriver::DriverEntry);
    Boot();
    EXPECT_TRUE(plat::verifier::IsHouseCode(code));
    EXPECT_EQ(host->Symbol("DriverEntry"), nullptr);
    UnloadClean();
    EXPECT_FALSE(plat::verifier::IsHouseCode(code));

    plat::Host::Options options = HostOptions();
    options.entry = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_INSUFFICIENT_RESOURCES; };
    NewHost(options);
    EXPECT_EQ(host->Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host->Loaded());
    EXPECT_FALSE(plat::verifier::IsHouseCode(code));
    // Nothing of the failed load stands in the way of the next.
    NewHost();
    Boot();
}

// ---------------------------------------------------------------- the machine with the native model

class NativeEnumeration : public PlayedDriverBed {
protected:
    void SetUp() override
    {
        PlayedDriverBed::SetUp();
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

    // Named by its compatible ID, at a path of its own, the device is found
    // and started: the driver's prepare-hardware evaluates its _DSM there.
    firmware->SetIdentity(variant([](NativeDevice& d) {
        d.path = "\\_SB.PCI0.LPCB.TVRX";
        d.hid = AcpiObject::String("ABCD0001");
        d.cid = AcpiObject::Package({AcpiObject::Integer(0x0A0CD041), AcpiObject::String("TVRX0001")});
    }));
    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host->Start(), STATUS_SUCCESS) << "the driver's evaluations reach the device at its path";
}

// The ACPI driver hands a Notify only to the handler registered for the
// device it names: one on another device reaches nobody.
TEST_F(NativeEnumeration, NotifyOnAnotherDeviceNeverReachesTheDriver)
{
    NativeDevice lid;
    lid.path = "\\_SB.LID0";
    lid.hid = AcpiObject::Integer(0x0D0CD041);  // EisaId ("PNP0C0D")
    firmware->SetOtherDevices({lid});
    Boot();
    std::shared_ptr<plat::acpi::AcpiDevice> below = host->Below();
    ASSERT_NE(below, nullptr);
    EXPECT_EQ(below->Path(), NativeFirmware::kDevicePath);

    firmware->Notify("\\_SB.LID0", 0x80);
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(below->NotificationsDelivered() + below->NotificationsDropped(), 0u);
    EXPECT_TRUE(PlayedDriver::Notified().empty());

    firmware->Notify(0x80);
    ASSERT_TRUE(below->WaitNotificationsIdle());
    EXPECT_EQ(PlayedDriver::Notified(), std::vector<ULONG>{0x80});
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
    const fs::path folder = machine->Folder();
    plat::Host::Options options = HostOptions();
    auto bind = [&](const std::string& file) {
        options.infPath = (folder / file).string();
        NewHost(options);
        ASSERT_EQ(host->Load(), STATUS_SUCCESS);
        ASSERT_EQ(host->AddBoundDevices(), STATUS_SUCCESS);
        ASSERT_EQ(host->DeviceCount(), 1u);
    };

    std::ofstream(folder / "tvrx.inf") << Package("ACPI\\TVRX0001");
    ASSERT_NO_FATAL_FAILURE(bind("tvrx.inf"));
    EXPECT_EQ(host->Below()->Path(), NativeFirmware::kDevicePath);
    UnloadClean();

    std::ofstream(folder / "other.inf") << Package("ACPI\\ABCD0002");
    ASSERT_NO_FATAL_FAILURE(bind("other.inf"));
    EXPECT_EQ(host->Below()->Path(), "\\_SB.DECO") << "the package names the other device";
    UnloadClean();

    std::ofstream(folder / "broken.inf") << "[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer\n";
    options.infPath = (folder / "broken.inf").string();
    NewHost(options);
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

class AcpicaEnumeration : public PlayedDriverBed {
protected:
    void SetUp() override
    {
        if (!plat::AcpicaFirmware::ToolsAvailable()) {
            GTEST_SKIP() << "iasl and acpiexec are not installed";
        }
        PlayedDriverBed::SetUp();
    }
};

TEST_F(AcpicaEnumeration, NoDeviceIsAddedOnTablesWithoutOneForTheDriver)
{
    machine->SetFirmware(std::make_shared<plat::AcpicaFirmware>(kFirmware / "enumeration" / "no-device.asl"));
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    EXPECT_EQ(host->AddDevice(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host->DeviceCount(), 0u);
}

}  // namespace
}  // namespace tvrx::test
