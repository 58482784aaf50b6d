// BIOS and SAR state in the registry: when the SAR table is exported again,
// what is recorded, and how the registry routines hand strings over.
#include "support/firmware_path.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace tvrx::test {
namespace {

bool ExportedAtStart(const plat::NativeFirmware& firmware)
{
    for (const auto& call : firmware.Calls()) {
        if (call.function == plat::NativeFirmware::kSarLocation) {
            return true;
        }
    }
    return false;
}

class BiosState : public FirmwarePath {
protected:
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = FirmwarePath::MachineOptions();
        options.folder = folder;
        options.rtlQueryRegistryValuesEx = queryEx;
        return options;
    }

    void TearDown() override
    {
        FirmwarePath::TearDown();
        std::filesystem::remove_all(folder);
    }

    // Shuts the machine down and boots it again from its folder; `change`
    // edits the new machine before the driver starts.
    template <class Change>
    void Reboot(Change change)
    {
        UnloadClean();
        NewMachine();
        firmware = &dynamic_cast<plat::NativeFirmware&>(machine->Firmware());
        change();
        Boot();
    }

    // Stops and starts the device again (the driver stays loaded), with the firmware's calls cleared.
    void Restart()
    {
        ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
        firmware->ClearCalls();
        ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    }

    std::filesystem::path SarPath() const { return tvrx::SarExportFile(machine->DriveRoot()); }
    // The export file's bytes; empty when it cannot be read.
    std::vector<uint8_t> SarFile() const
    {
        std::ifstream in(SarPath(), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void SetBios(const std::wstring& version) { machine->Registry().SetString(kHardwareConfigKey, L"BIOSVersion", version); }

    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("tvrx-bios-state-" + std::to_string(::getpid()) + "-" +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    bool queryEx = true;
};

TEST_F(BiosState, ExportRepeatsOnlyWhenTheBiosChanges)
{
    Boot();
    EXPECT_TRUE(ExportedAtStart(*firmware)) << "first start";
    std::string version = firmware->BiosVersion();
    EXPECT_EQ(BiosInfoValue(), std::wstring(version.begin(), version.end()));
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);

    queryEx = false;  // a system without RtlQueryRegistryValuesEx reads it the older way
    Reboot([] {});
    EXPECT_FALSE(ExportedAtStart(*firmware)) << "same BIOS";
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);

    Reboot([&] { SetBios(L"tvrx-fw 1.07.0 (2024-05-17)"); });
    EXPECT_FALSE(ExportedAtStart(*firmware)) << "letter case does not count";

    Reboot([&] { SetBios(L"TVRX-FW 1.08.0"); });
    EXPECT_TRUE(ExportedAtStart(*firmware)) << "new BIOS";
    EXPECT_EQ(BiosInfoValue(), L"TVRX-FW 1.08.0");
}

// The start's check fails on a passing error although the BIOS is unchanged,
// so it exports, and that export fails halfway: the file keeps the earlier
// whole table, and since the export did not complete, the next start exports
// again although BiosInfo still names the running BIOS.
TEST_F(BiosState, FailedExportWithAnUnchangedBiosIsRepeatedAndNeverTearsTheFile)
{
    std::vector<uint8_t> table(2600);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = uint8_t(i * 7 + 1);
    }
    firmware->SetSarTable(0x7FFE0000, table);
    Boot();
    ASSERT_EQ(SarFile(), table);

    // The next start's check fails reading BiosInfo, so it exports, and the
    // export's second write fails; the device starts without it.
    ASSERT_EQ(host->Stop(), STATUS_SUCCESS);
    firmware->ClearCalls();
    plat::fault::Reset();
    plat::fault::FailNth("WdfRegistryQueryString", 1, STATUS_DEVICE_BUSY);
    plat::fault::FailNth("ZwWriteFile", 2, STATUS_DISK_FULL);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(ExportedAtStart(*firmware));
    EXPECT_EQ(plat::fault::Injected(), 2u);
    EXPECT_EQ(SarFile(), table) << "the earlier whole table";
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarWriteFailed);
    std::string version = firmware->BiosVersion();
    EXPECT_EQ(BiosInfoValue(), std::wstring(version.begin(), version.end())) << "still the running BIOS";

    auto sameFirmware = [&] { firmware->SetSarTable(0x7FFE0000, table); };
    Reboot(sameFirmware);
    EXPECT_TRUE(ExportedAtStart(*firmware)) << "the last export did not complete";
    EXPECT_EQ(SarFile(), table);
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);

    Reboot(sameFirmware);
    EXPECT_FALSE(ExportedAtStart(*firmware)) << "complete now";
}

// A deleted export file counts as needing an export, whatever the registry says.
TEST_F(BiosState, DeletedExportFileIsWrittenAgainAtTheNextStart)
{
    Boot();
    ASSERT_EQ(SarFile(), firmware->SarBytes());
    Reboot([&] { std::filesystem::remove(SarPath()); });
    EXPECT_TRUE(ExportedAtStart(*firmware));
    EXPECT_EQ(SarFile(), firmware->SarBytes());
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);

    Reboot([&] { std::filesystem::remove_all(SarPath().parent_path()); });
    EXPECT_TRUE(ExportedAtStart(*firmware)) << "its directory gone too";
    EXPECT_EQ(SarFile(), firmware->SarBytes());
}

TEST_F(BiosState, UnreadableBiosVersionMeansExportWithoutRecordingIt)
{
    machine->Registry().DeleteKey(kHardwareConfigKey);
    Boot();
    EXPECT_TRUE(ExportedAtStart(*firmware));
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);
    EXPECT_FALSE(BiosInfoValue().has_value());
    Restart();
    EXPECT_TRUE(ExportedAtStart(*firmware)) << "so the next start exports again";

    // A value of another type: without a type check a direct query writes its
    // data over the counted string itself.
    machine->Registry().SetValue(kHardwareConfigKey, L"BIOSVersion", plat::RegistryValue::Dword(0x00410041));
    UNICODE_STRING raw = {0, 0, nullptr};
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"BIOSVersion");
    table[0].EntryContext = &raw;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kHardwareConfigKey.c_str(), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(raw.Length, 0x41) << "a string of 0x41 bytes with no buffer";
    EXPECT_EQ(raw.Buffer, nullptr);

    auto query = [this](const wchar_t* path, const wchar_t* value, PUNICODE_STRING text) {
        return debugview::QueryRegistryString(*host, path, value, text);
    };
    for (const plat::RegistryValue& value :
         {plat::RegistryValue::Dword(0x00410041), plat::RegistryValue{REG_BINARY, std::vector<uint8_t>(16, 0x41)}}) {
        machine->Registry().SetValue(kHardwareConfigKey, L"BIOSVersion", value);
        UNICODE_STRING text = {7, 7, reinterpret_cast<PWSTR>(8)};
        EXPECT_EQ(query(kHardwareConfigKey.c_str(), L"BIOSVersion", &text), STATUS_OBJECT_TYPE_MISMATCH);
        EXPECT_EQ(text.Length, 0u);
        EXPECT_EQ(text.Buffer, nullptr);
        Restart();
        EXPECT_TRUE(ExportedAtStart(*firmware));
    }
    UnloadClean();
    Boot();
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);
    EXPECT_FALSE(BiosInfoValue().has_value());

    // An absent value under an existing key reads as an empty string.
    machine->Registry().DeleteValue(kHardwareConfigKey, L"BIOSVersion");
    UNICODE_STRING empty;
    EXPECT_EQ(query(kHardwareConfigKey.c_str(), L"BIOSVersion", &empty), STATUS_SUCCESS);
    EXPECT_EQ(empty.Length, 0u);
}

TEST_F(BiosState, AnyFailureOfTheCheckMeansExport)
{
    Boot();
    // The check on its own, so that each of its calls can be failed by number.
    auto check = [this](WDFDEVICE device) { return debugview::IsBiosSarUpdateNeeded(*host, device); };
    plat::fault::Reset();
    EXPECT_FALSE(check(Device()));
    EXPECT_EQ(plat::fault::Counts()["ExAllocatePool"], 3u);

    const std::pair<const char*, uint64_t> points[] = {
        {"WdfRegistryOpenKey", 1},         // the last start's BiosSarState
        {"WdfRegistryQueryULong", 1},
        {"WdfRegistryAssignULong", 1},     // BiosSarState 0
        {"RtlQueryRegistryValues", 1},     // BIOSVersion
        {"WdfRegistryOpenKey", 2},         // BiosInfo
        {"WdfRegistryQueryString", 1},
        {"ExAllocatePool", 1},             // BIOSVersion's buffer
        {"ExAllocatePool", 2},             // BiosInfo in the string object
        {"ExAllocatePool", 3},             // and its copy
        {"ZwQueryFullAttributesFile", 1},  // the export file
        {"WdfRegistryAssignULong", 2},     // BiosSarState 1
    };
    for (const auto& [point, nth] : points) {
        // Each check starts from a current export, so only the failure can ask for another.
        machine->Registry().SetValue(kSarServiceKey, L"BiosSarState", plat::RegistryValue::Dword(1));
        plat::fault::Reset();
        EXPECT_FALSE(check(Device())) << point;
        machine->Registry().SetValue(kSarServiceKey, L"BiosSarState", plat::RegistryValue::Dword(1));
        plat::fault::Reset();
        plat::fault::FailNth(point, nth, STATUS_DEVICE_BUSY);
        EXPECT_TRUE(check(Device())) << point;
    }
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarCurrent)) << "set before its write failed";
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarChecking);
}

TEST_F(BiosState, ParameterValuesAreWrittenAndReadByType)
{
    LoadAndAdd();
    // The routines themselves: no start passes them the arguments they must refuse.
    auto write = [this](WDFDEVICE device, const wchar_t* subkey, const wchar_t* value, ULONG type, PVOID data,
                        ULONG size) {
        return debugview::WriteParameterValue(*host, device, subkey, value, type, data, size);
    };
    auto read = [this](WDFDEVICE device, const wchar_t* subkey, const wchar_t* value, PUNICODE_STRING text) {
        return debugview::ReadParameterString(*host, device, subkey, value, text);
    };

    UNICODE_STRING text;
    EXPECT_EQ(read(Device(), L"SARService", L"BiosInfo", &text), STATUS_OBJECT_NAME_NOT_FOUND) << "no subkey yet";

    ULONG value = 5;
    EXPECT_EQ(write(Device(), L"SARService", L"BiosSarState", REG_DWORD, &value, 4), STATUS_SUCCESS);
    value = 6;
    EXPECT_EQ(write(Device(), L"SARService", L"BiosSarState", REG_DWORD, &value, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(write(Device(), L"SARService", L"BiosSarState", REG_BINARY, &value, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BiosSarStateValue(), 5u);

    UNICODE_STRING written = RTL_CONSTANT_STRING(L"BIOS 2.0");
    ASSERT_EQ(write(Device(), L"SARService", L"BiosInfo", REG_SZ, &written, 0), STATUS_SUCCESS);
    ASSERT_EQ(read(Device(), L"SARService", L"BiosInfo", &text), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&text, &written, FALSE));
    EXPECT_EQ(text.MaximumLength, text.Length + sizeof(WCHAR));
    EXPECT_EQ(text.Buffer[text.Length / sizeof(WCHAR)], L'\0');
    RtlFreeUnicodeString(&text);  // the verifier checks that this released everything

    plat::fault::Reset();
    plat::fault::FailNth("ExAllocatePool", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(read(Device(), L"SARService", L"BiosInfo", &text), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(text.Buffer, nullptr);
}

}  // namespace
}  // namespace tvrx::test
