// The SAR table export: the file is the physical range byte for byte, and
// every failure leaves the file and BiosSarState as described.
#include "support/firmware_path.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "machine/physmem.h"

namespace tvrx::test {
namespace {

constexpr ULONG kSarAddress = 0x7FFE0000;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) {
        b = uint8_t(random());
    }
    return bytes;
}

class SarExport : public FirmwarePath {
protected:
    std::filesystem::path ExportFile() const
    {
        return tvrx::SarExportFile(machine->DriveRoot());
    }

    // The copy an export writes beside the file until it is complete.
    std::filesystem::path NewFile() const { return ExportFile().parent_path() / "bios_sar.flz.new"; }

    std::vector<uint8_t> FileBytes() const
    {
        std::ifstream in(ExportFile(), std::ios::binary);
        EXPECT_TRUE(in.good()) << ExportFile();
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The export itself, for its status: a start only records the outcome in BiosSarState.
    NTSTATUS Export(ULONG address, ULONG64 length) { return debugview::ExportBiosSarTable(*host, address, length); }
};

TEST_F(SarExport, FileIsThePhysicalRangeByteForByte)
{
    LoadAndAdd();
    // Longest first, so that each shorter export must also truncate.
    for (size_t length : {size_t{100 * 1024}, size_t{1025}, size_t{1024}, size_t{1}, size_t{0}}) {
        std::vector<uint8_t> table = RandomBytes(length, unsigned(length));
        firmware->SetSarTable(kSarAddress, table);
        plat::fault::Reset();
        ASSERT_EQ(Export(kSarAddress, length), STATUS_SUCCESS) << length;
        EXPECT_EQ(FileBytes(), table) << length;
        EXPECT_EQ(plat::fault::Counts()["MmMapIoSpace"], (length + 1023) / 1024) << "one mapping per 1024-byte piece";
        EXPECT_EQ(plat::fault::Counts()["ZwFlushBuffersFile"], 1u) << "the copy is flushed once, before its rename";
    }

    // A table that crosses 4 GiB is read on past it, not from address 0.
    std::vector<uint8_t> high = RandomBytes(2048, 4);
    firmware->SetSarTable(0xFFFFFC00, high);
    machine->Memory().AddRegion(0, std::vector<uint8_t>(1024, 0xAA));
    ASSERT_EQ(Export(0xFFFFFC00, high.size()), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes(), high);
}

// As on a PC, a physical address nothing decodes reads as all ones without a
// fault: a range the firmware reports past its table, or with nothing behind
// it at all, is exported as 0xFF bytes and counts as a good export.
TEST_F(SarExport, BytesNothingHoldsAreExportedAsAllOnes)
{
    LoadAndAdd();
    std::vector<uint8_t> table = RandomBytes(1500, 5);
    firmware->SetSarTable(kSarAddress, table);
    ASSERT_EQ(Export(kSarAddress, 2600), STATUS_SUCCESS);
    std::vector<uint8_t> expected = table;
    expected.resize(2600, 0xFF);
    EXPECT_EQ(FileBytes(), expected);

    ASSERT_EQ(Export(0x10000000, 700), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes(), std::vector<uint8_t>(700, 0xFF));
    EXPECT_EQ(BiosSarStateVariable(), 0u) << "the export itself records no state";
}

// A failed export never reaches the file: the copy is written beside it and
// replaces it only when complete, so the file keeps the last whole table (or
// stays absent), the partial copy is deleted, and BiosSarState says why. A
// truncated file would be taken for the table by every reader.
TEST_F(SarExport, FailedExportsLeaveTheLastWholeTableAndSetTheState)
{
    LoadAndAdd();
    std::vector<uint8_t> table = RandomBytes(3000, 1);
    firmware->SetSarTable(kSarAddress, table);

    plat::fault::FailNth("MmMapIoSpace", 2, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(std::filesystem::exists(ExportFile())) << "no half table where none was";
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarReadFailed));

    std::vector<uint8_t> earlier = RandomBytes(1500, 7);
    firmware->SetSarTable(kSarAddress, earlier);
    ASSERT_EQ(Export(kSarAddress, earlier.size()), STATUS_SUCCESS);
    firmware->SetSarTable(kSarAddress, table);

    plat::fault::Reset();
    plat::fault::FailNth("ZwWriteFile", 3, STATUS_DISK_FULL);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_DISK_FULL);
    EXPECT_EQ(FileBytes(), earlier);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarWriteFailed));

    // The complete copy cannot take the file's place.
    plat::fault::Reset();
    plat::fault::FailNth("ZwSetInformationFile", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(FileBytes(), earlier);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarWriteFailed));

    // The copy cannot be flushed to the disk: renamed, it could become a
    // file of zeros after a power cut, recorded as current.
    plat::fault::Reset();
    plat::fault::FailNth("ZwFlushBuffersFile", 1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(FileBytes(), earlier);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarWriteFailed));
    EXPECT_EQ(plat::fault::Counts()["ZwSetInformationFile"], 0u) << "renamed although not on the disk";

    // A reader holds the file open: NTFS does not replace an open file.
    HANDLE reader = nullptr;
    {
        UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\??\\C:\\windows\\wwan\\bios_sar\\bios_sar.flz");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK io;
        ASSERT_EQ(ZwCreateFile(&reader, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                               0),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_ACCESS_DENIED);
    ZwClose(reader);
    EXPECT_EQ(FileBytes(), earlier);

    // A read error while copying (fault injection raises it as an exception
    // in the second piece): the guard turns it into its code.
    plat::fault::Reset();
    plat::fault::FailNth("PhysicalMemoryRead", 2, STATUS_IN_PAGE_ERROR);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_IN_PAGE_ERROR);
    EXPECT_EQ(FileBytes(), earlier);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
    EXPECT_EQ(BiosSarStateVariable(), ULONG(debugview::kSarReadFailed));
    EXPECT_EQ(machine->Memory().LiveMappings(), 0u) << "the failed mapping was unmapped";

    plat::fault::Reset();
    ASSERT_EQ(Export(kSarAddress, table.size()), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes(), table);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));
}

// What other programs and an earlier crash leave in the directory does not
// stop an export: a copy left over by a crash (longer than the new table) is
// truncated and reused, and a program that lists the directory, sharing only
// reading, has it open meanwhile.
TEST_F(SarExport, LeftoversAndReadersInTheDirectoryDoNotStopTheExport)
{
    LoadAndAdd();
    std::vector<uint8_t> table = RandomBytes(2000, 8);
    firmware->SetSarTable(kSarAddress, table);
    ASSERT_EQ(Export(kSarAddress, table.size()), STATUS_SUCCESS);
    {
        std::ofstream stale(NewFile(), std::ios::binary);
        std::vector<char> junk(5000, 'x');
        stale.write(junk.data(), std::streamsize(junk.size()));
    }
    std::vector<uint8_t> shorter = RandomBytes(700, 9);
    firmware->SetSarTable(kSarAddress, shorter);
    ASSERT_EQ(Export(kSarAddress, shorter.size()), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes(), shorter);
    EXPECT_FALSE(std::filesystem::exists(NewFile()));

    HANDLE lister = nullptr;
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\??\\C:\\windows\\wwan\\bios_sar");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    ASSERT_EQ(ZwCreateFile(&lister, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, nullptr,
                           FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, 0),
              STATUS_SUCCESS);
    firmware->SetSarTable(kSarAddress, table);
    EXPECT_EQ(Export(kSarAddress, table.size()), STATUS_SUCCESS);
    ZwClose(lister);
    EXPECT_EQ(FileBytes(), table);
}

TEST_F(SarExport, FailuresBeforeCopyingLeaveFileAndStateAlone)
{
    LoadAndAdd();
    std::vector<uint8_t> table = RandomBytes(500, 2);
    firmware->SetSarTable(kSarAddress, table);
    ASSERT_EQ(Export(kSarAddress, table.size()), STATUS_SUCCESS);

    plat::fault::Reset();

    plat::fault::FailNth("WdfMemoryCreate", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Export(kSarAddress, 10), STATUS_INSUFFICIENT_RESOURCES) << "whatever the framework said";
    plat::fault::Reset();
    plat::fault::FailNth("ZwCreateFile", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Export(kSarAddress, 10), STATUS_DEVICE_BUSY) << "the directory";
    plat::fault::Reset();
    plat::fault::FailNth("ZwCreateFile", 2, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Export(kSarAddress, 10), STATUS_SHARING_VIOLATION) << "the file";
    EXPECT_EQ(FileBytes(), table);

    std::filesystem::remove_all(machine->DriveRoot() / "Windows" / "wwan");
    EXPECT_FALSE(NT_SUCCESS(Export(kSarAddress, 10))) << "only the last directory is created";
    EXPECT_EQ(BiosSarStateVariable(), 0u);
}

// Function 3 records the export's outcome and, unlike a registry write that
// merely succeeded, returns a failed export as a failure.
TEST_F(SarExport, LocationResultDrivesExportAndState)
{
    Boot();
    // Function 3's evaluation itself, for its status: prepare-hardware goes on whatever it returns.
    auto evaluate = [this](WDFDEVICE device, uint32_t function) {
        return debugview::EvaluateDsmFunction(*host, device, function);
    };
    EXPECT_EQ(FileBytes(), firmware->SarBytes());
    EXPECT_EQ(View().sarTableAddress, firmware->SarAddress());
    std::wstring biosInfo = *BiosInfoValue();

    firmware->SetSarTable(kSarAddress, RandomBytes(700, 3));
    machine->Registry().SetString(kHardwareConfigKey, L"BIOSVersion", L"new BIOS");
    plat::fault::FailNth("PhysicalMemoryRead", 1, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(evaluate(Device(), 3), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarReadFailed);
    EXPECT_EQ(BiosInfoValue(), biosInfo);

    plat::fault::Reset();

    plat::fault::FailNth("WdfRegistryAssignULong", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(evaluate(Device(), 3), STATUS_DEVICE_BUSY) << "the state could not be recorded";

    firmware->SetSarTable(kSarAddress, {});
    EXPECT_EQ(evaluate(Device(), 3), STATUS_SUCCESS);
    EXPECT_TRUE(FileBytes().empty());
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarCurrent);
    EXPECT_EQ(BiosInfoValue(), L"new BIOS");

    plat::NativeFirmware::Faults faults;
    faults.shape = plat::NativeFirmware::Shape::MissingElements;
    firmware->SetFaults(faults);
    EXPECT_EQ(evaluate(Device(), 3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BiosSarStateValue(), debugview::kSarBadResult);
}

}  // namespace
}  // namespace tvrx::test
