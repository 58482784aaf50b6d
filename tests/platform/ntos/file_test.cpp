// Kernel file I/O on the machine's C: drive.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <string>
#include <vector>

#include <ntifs.h>

#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "ntos/ob/object.h"
#include "support/kernel.h"

namespace fs = std::filesystem;

namespace {

struct Opened {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = nullptr;
    ULONG_PTR information = ~ULONG_PTR(0);
};

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override { plat::fault::Reset(); }
    void TearDown() override
    {
        plat::fault::Reset();
        auto report = plat::verifier::Check();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }

    static Opened Create(const std::wstring& name, ACCESS_MASK access, ULONG disposition, ULONG options = 0,
                         ULONG share = 0)
    {
        UNICODE_STRING text;
        text.Buffer = const_cast<PWSTR>(name.data());
        text.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        text.MaximumLength = text.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        Opened result;
        IO_STATUS_BLOCK io = {};
        io.Information = result.information;
        result.status = ZwCreateFile(&result.handle, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share,
                                     disposition, options, NULL, 0);
        result.information = io.Information;
        return result;
    }

    static NTSTATUS Write(HANDLE handle, const std::string& data, LONGLONG offset, ULONG_PTR* written = nullptr)
    {
        IO_STATUS_BLOCK io = {};
        LARGE_INTEGER at;
        at.QuadPart = offset;
        NTSTATUS status = ZwWriteFile(handle, NULL, NULL, NULL, &io, const_cast<char*>(data.data()),
                                      static_cast<ULONG>(data.size()), &at, NULL);
        if (written != nullptr) {
            *written = io.Information;
        }
        return status;
    }

    fs::path Drive() const { return machine_.DriveRoot(); }

    static std::string Contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    static void Put(const fs::path& path, const std::string& data)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << data;
    }

    tvrx::test::Kernel machine_;
};

constexpr ULONG kWriteOnly = FILE_GENERIC_WRITE;

TEST_F(DriveTest, NamesResolveCaseInsensitivelyAndNewComponentsKeepTheirCase)
{
    ASSERT_TRUE(fs::is_directory(Drive() / "Windows" / "wwan"));

    Opened dir = Create(L"\\??\\C:\\windows\\WWAN\\Bios_Sar", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    EXPECT_EQ(dir.information, FILE_CREATED);
    EXPECT_EQ(ZwClose(dir.handle), STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_directory(Drive() / "Windows" / "wwan" / "Bios_Sar"));
    EXPECT_FALSE(fs::exists(Drive() / "windows"));

    dir = Create(L"\\DosDevices\\c:\\WINDOWS\\wwan\\bios_sar\\", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    EXPECT_EQ(dir.information, FILE_OPENED);
    EXPECT_EQ(ZwClose(dir.handle), STATUS_SUCCESS);

    Opened file = Create(L"\\??\\C:\\windows\\wwan\\bios_sar\\Table.FLZ", GENERIC_WRITE, FILE_OVERWRITE_IF,
                         FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(Write(file.handle, "sar", 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(Drive() / "Windows" / "wwan" / "Bios_Sar" / "Table.FLZ"), "sar");

    // Non-ASCII names compare upcased too.
    Put(Drive() / "Données" / "x", "");
    file = Create(L"\\??\\C:\\DONNÉES\\X", FILE_GENERIC_READ, FILE_OPEN);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);
}

TEST_F(DriveTest, NamesThatCouldLeaveTheDriveAreRefused)
{
    const struct {
        std::wstring name;
        NTSTATUS status;
    } cases[] = {
        {L"\\??\\C:\\windows\\..\\..\\escape", STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\C:\\.\\escape", STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\C:\\windows\\\\escape", STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\C:\\windows/../../escape", STATUS_OBJECT_NAME_INVALID},
        {std::wstring(L"\\??\\C:\\escape\0.txt", 18), STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\C:\\escape:stream", STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\C:\\" + std::wstring(256, L'a'), STATUS_OBJECT_NAME_INVALID},
        {L"\\??\\D:\\escape", STATUS_OBJECT_PATH_NOT_FOUND},
        {L"\\??\\C:escape", STATUS_OBJECT_NAME_NOT_FOUND},
        {L"\\Device\\escape", STATUS_OBJECT_PATH_NOT_FOUND},
        {L"C:\\escape", STATUS_OBJECT_PATH_SYNTAX_BAD},
    };
    for (const auto& c : cases) {
        Opened opened = Create(c.name, kWriteOnly, FILE_OVERWRITE_IF);
        EXPECT_EQ(opened.status, c.status) << "name length " << c.name.size();
        if (NT_SUCCESS(opened.status)) {
            ZwClose(opened.handle);
        }
    }
    // Nothing appeared anywhere in the machine's folder but the drive's own tree.
    for (const auto& entry : fs::recursive_directory_iterator(machine_.Folder())) {
        EXPECT_EQ(entry.path().filename().string().find("esc"), std::string::npos) << entry.path();
    }
}

TEST_F(DriveTest, SymbolicLinksInTheDriveAreNotFollowed)
{
    const fs::path outside = machine_.Folder() / "outside";
    fs::create_directories(outside);
    Put(outside / "victim", "keep");
    fs::create_directory_symlink(outside, Drive() / "linkdir");
    fs::create_symlink(outside / "victim", Drive() / "linkfile");
    fs::create_symlink(outside / "new", Drive() / "dangling");

    EXPECT_EQ(Create(L"\\??\\C:\\LinkDir\\victim", kWriteOnly, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(L"\\??\\C:\\linkdir\\created", kWriteOnly, FILE_CREATE).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(L"\\??\\C:\\linkfile", kWriteOnly, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(L"\\??\\C:\\dangling", kWriteOnly, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(L"\\??\\C:\\dangling", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE).status,
              STATUS_ACCESS_DENIED);

    EXPECT_EQ(Contents(outside / "victim"), "keep");
    EXPECT_FALSE(fs::exists(outside / "new"));
    EXPECT_FALSE(fs::exists(outside / "created"));
}

TEST_F(DriveTest, DispositionsCreateOpenAndReplaceAsDocumented)
{
    const std::wstring name = L"\\??\\C:\\Windows\\data.bin";
    const fs::path host = Drive() / "Windows" / "data.bin";

    EXPECT_EQ(Create(name, kWriteOnly, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Create(name, kWriteOnly, FILE_OVERWRITE).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(fs::exists(host));

    const struct {
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        const char* contentsAfter;
    } steps[] = {
        {FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "0123456789"},
        {FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "0123456789"},
        {FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "0123456789"},
        {FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
    };
    for (const auto& step : steps) {
        Put(host, "0123456789");
        if (step.disposition == FILE_CREATE && step.status == STATUS_SUCCESS) {
            fs::remove(host);
        }
        Opened opened = Create(name, kWriteOnly, step.disposition);
        EXPECT_EQ(opened.status, step.status) << "disposition " << step.disposition;
        if (NT_SUCCESS(opened.status)) {
            EXPECT_EQ(opened.information, step.information) << "disposition " << step.disposition;
            EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(Contents(host), step.contentsAfter) << "disposition " << step.disposition;
    }
}

TEST_F(DriveTest, ExclusiveOpenRefusesOthersUntilClosedWithoutTouchingTheFile)
{
    const std::wstring name = L"\\??\\C:\\Windows\\wwan\\shared.bin";
    Opened first = Create(name, GENERIC_WRITE, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(Write(first.handle, "payload", 0), STATUS_SUCCESS);

    // The second open names the file in another case: it is the same file.
    EXPECT_EQ(Create(L"\\??\\C:\\WINDOWS\\WWAN\\SHARED.BIN", GENERIC_WRITE, FILE_OVERWRITE_IF).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Create(name, GENERIC_READ, FILE_OPEN, 0, FILE_SHARE_READ | FILE_SHARE_WRITE).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Contents(Drive() / "Windows" / "wwan" / "shared.bin"), "payload");

    // An open that touches no data takes no share of the file.
    Opened attributesOnly = Create(name, FILE_READ_ATTRIBUTES, FILE_OPEN);
    ASSERT_EQ(attributesOnly.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(attributesOnly.handle), STATUS_SUCCESS);

    EXPECT_EQ(ZwClose(first.handle), STATUS_SUCCESS);
    Opened second = Create(name, GENERIC_WRITE, FILE_OVERWRITE_IF);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second.handle), STATUS_SUCCESS);
}

TEST_F(DriveTest, DirectoryOpensCreateOnlyTheLastComponent)
{
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\missing\\bios_sar", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Drive() / "Windows" / "missing"));

    Put(Drive() / "Windows" / "plain", "x");
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\plain", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\plain\\sub", kWriteOnly, FILE_OPEN_IF, FILE_DIRECTORY_FILE).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\plain\\", kWriteOnly, FILE_OPEN).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows", kWriteOnly, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\new\\", kWriteOnly, FILE_CREATE).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows", kWriteOnly, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(DriveTest, TransfersUseExplicitOffsetsOrTheSynchronousPositionAndNeedAccess)
{
    const std::wstring name = L"\\??\\C:\\Windows\\offsets.bin";
    Opened file = Create(name, GENERIC_READ | GENERIC_WRITE, FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    ULONG_PTR written = 0;
    EXPECT_EQ(Write(file.handle, "abc", 0, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(Write(file.handle, "XYZ", 1024), STATUS_SUCCESS);
    EXPECT_EQ(Write(file.handle, "B", 1), STATUS_SUCCESS);

    char buffer[8] = {};
    IO_STATUS_BLOCK io = {};
    LARGE_INTEGER at;
    at.QuadPart = 1023;
    EXPECT_EQ(ZwReadFile(file.handle, NULL, NULL, NULL, &io, buffer, sizeof(buffer), &at, NULL), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0XYZ", 4));
    at.QuadPart = 1027;
    EXPECT_EQ(ZwReadFile(file.handle, NULL, NULL, NULL, &io, buffer, sizeof(buffer), &at, NULL), STATUS_END_OF_FILE);
    // A handle opened without synchronous I/O has no position to fall back on.
    EXPECT_EQ(ZwWriteFile(file.handle, NULL, NULL, NULL, &io, buffer, 1, NULL, NULL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);

    std::string expected = "aBc" + std::string(1021, '\0') + "XYZ";
    EXPECT_EQ(Contents(Drive() / "Windows" / "offsets.bin"), expected);

    file = Create(name, GENERIC_WRITE, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    for (const char* piece : {"one", "two"}) {
        EXPECT_EQ(ZwWriteFile(file.handle, NULL, NULL, NULL, &io, const_cast<char*>(piece), 3, NULL, NULL),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(Drive() / "Windows" / "offsets.bin"), "onetwo");

    // A flush needs write access to the file, as FlushFileBuffers documents.
    file = Create(name, GENERIC_WRITE, FILE_OPEN);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushBuffersFile(file.handle, &io), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);

    Opened reader = Create(name, GENERIC_READ, FILE_OPEN);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_TRUE(plat::ob::IsKernelHandle(reader.handle));
    EXPECT_EQ(Write(reader.handle, "x", 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwFlushBuffersFile(reader.handle, &io), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(reader.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushBuffersFile(reader.handle, &io), STATUS_INVALID_HANDLE);
}

TEST_F(DriveTest, InjectedAndHostFailuresAreReportedNotSwallowed)
{
    plat::fault::FailNth("ZwCreateFile", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(L"\\??\\C:\\Windows\\f.bin", kWriteOnly, FILE_OVERWRITE_IF).status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(fs::exists(Drive() / "Windows" / "f.bin"));

    Opened file = Create(L"\\??\\C:\\Windows\\f.bin", kWriteOnly, FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    plat::fault::FailNth("ZwWriteFile", 1, STATUS_DISK_FULL);
    EXPECT_EQ(Write(file.handle, "abc", 0), STATUS_DISK_FULL);
    EXPECT_EQ(Write(file.handle, "abc", 0), STATUS_SUCCESS);

    // A file-size limit makes the host refuse the write as a full disk would.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    NTSTATUS status = Write(file.handle, "beyond", 8192);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(status, STATUS_DISK_FULL);

    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);
}

// A rename record for `name`, as long as the call is told.
struct RenameRecord {
    explicit RenameRecord(const std::wstring& name, bool replace)
        : bytes(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + (name.size() + 1) * sizeof(WCHAR))
    {
        auto* record = reinterpret_cast<FILE_RENAME_INFORMATION*>(bytes.data());
        record->ReplaceIfExists = replace ? TRUE : FALSE;
        record->RootDirectory = nullptr;
        record->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
        std::memcpy(bytes.data() + FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName), name.data(),
                    record->FileNameLength);
        length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + record->FileNameLength;
        if (length < sizeof(FILE_RENAME_INFORMATION)) {
            length = sizeof(FILE_RENAME_INFORMATION);
        }
    }
    NTSTATUS Apply(HANDLE handle)
    {
        IO_STATUS_BLOCK io = {};
        return ZwSetInformationFile(handle, &io, bytes.data(), length, FileRenameInformation);
    }
    std::vector<uint8_t> bytes;
    ULONG length = 0;
};

OBJECT_ATTRIBUTES Attributes(UNICODE_STRING* text, const std::wstring& name)
{
    text->Buffer = const_cast<PWSTR>(name.data());
    text->Length = text->MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return attributes;
}

// A rename replaces the target in one step: readers find the old whole file
// or the new one. What NTFS refuses is refused with its status.
TEST_F(DriveTest, RenameReplacesInOneStepAndRefusesWhatNtfsRefuses)
{
    const std::wstring dir = L"\\??\\C:\\windows\\wwan\\";
    Put(Drive() / "Windows" / "wwan" / "Table.flz", "old table");
    Opened copy = Create(dir + L"table.new", GENERIC_WRITE | DELETE, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(copy.status, STATUS_SUCCESS);
    ASSERT_EQ(Write(copy.handle, "new table", 0), STATUS_SUCCESS);

    EXPECT_EQ(RenameRecord(dir + L"TABLE.FLZ", false).Apply(copy.handle), STATUS_OBJECT_NAME_COLLISION);
    // A reader that holds the target open keeps it from being replaced.
    Opened reader = Create(dir + L"table.flz", FILE_GENERIC_READ, FILE_OPEN, 0, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(RenameRecord(dir + L"table.flz", true).Apply(copy.handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(reader.handle), STATUS_SUCCESS);

    EXPECT_EQ(RenameRecord(dir + L"table.flz", true).Apply(copy.handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(Drive() / "Windows" / "wwan" / "table.flz"), "new table") << "the name given";
    EXPECT_FALSE(fs::exists(Drive() / "Windows" / "wwan" / "Table.flz"));
    EXPECT_FALSE(fs::exists(Drive() / "Windows" / "wwan" / "table.new"));
    // The handle follows its file: a bare name renames inside its directory, a case change too.
    EXPECT_EQ(Write(copy.handle, "N", 0), STATUS_SUCCESS);
    EXPECT_EQ(RenameRecord(L"Table.FLZ", false).Apply(copy.handle), STATUS_SUCCESS);
    EXPECT_EQ(Contents(Drive() / "Windows" / "wwan" / "Table.FLZ"), "New table");
    EXPECT_EQ(RenameRecord(L"wwan", true).Apply(copy.handle), STATUS_SUCCESS) << "only its own name";
    EXPECT_EQ(RenameRecord(dir + L"..\\x", true).Apply(copy.handle), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(RenameRecord(L"\\??\\C:\\missing\\x", true).Apply(copy.handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(RenameRecord(L"\\??\\C:\\windows", true).Apply(copy.handle), STATUS_ACCESS_DENIED) << "a directory";

    RenameRecord bad(L"x", true);
    IO_STATUS_BLOCK io = {};
    EXPECT_EQ(ZwSetInformationFile(copy.handle, &io, bad.bytes.data(), 8, FileRenameInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwSetInformationFile(copy.handle, &io, bad.bytes.data(), bad.length, FileBasicInformation),
              STATUS_INVALID_INFO_CLASS);
    reinterpret_cast<FILE_RENAME_INFORMATION*>(bad.bytes.data())->FileNameLength = 4096;
    EXPECT_EQ(bad.Apply(copy.handle), STATUS_INVALID_PARAMETER) << "a name longer than the record";
    EXPECT_EQ(ZwClose(copy.handle), STATUS_SUCCESS);

    // Renaming takes delete access.
    Opened plain = Create(dir + L"wwan", GENERIC_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(plain.status, STATUS_SUCCESS);
    EXPECT_EQ(RenameRecord(L"other", false).Apply(plain.handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(plain.handle), STATUS_SUCCESS);
}

TEST_F(DriveTest, AttributesAndDeletionByName)
{
    Put(Drive() / "Windows" / "wwan" / "bios_sar" / "bios_sar.flz", std::string(1500, 'x'));
    UNICODE_STRING text;
    FILE_NETWORK_OPEN_INFORMATION info = {};
    std::wstring name = L"\\??\\C:\\WINDOWS\\wwan\\bios_sar\\BIOS_SAR.flz";
    OBJECT_ATTRIBUTES attributes = Attributes(&text, name);
    ASSERT_EQ(ZwQueryFullAttributesFile(&attributes, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 1500);
    EXPECT_EQ(info.FileAttributes, ULONG(FILE_ATTRIBUTE_NORMAL));
    EXPECT_GT(info.LastWriteTime.QuadPart, 0);

    std::wstring directory = L"\\??\\C:\\windows\\wwan\\bios_sar";
    attributes = Attributes(&text, directory);
    ASSERT_EQ(ZwQueryFullAttributesFile(&attributes, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileAttributes, ULONG(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(ZwDeleteFile(&attributes), STATUS_DIRECTORY_NOT_EMPTY);

    for (const auto& [missing, status] : {std::pair{std::wstring(L"\\??\\C:\\windows\\nothing"), STATUS_OBJECT_NAME_NOT_FOUND},
                                          std::pair{std::wstring(L"\\??\\C:\\nothing\\x"), STATUS_OBJECT_PATH_NOT_FOUND},
                                          std::pair{name + L"\\", STATUS_OBJECT_NAME_INVALID}}) {
        attributes = Attributes(&text, missing);
        EXPECT_EQ(ZwQueryFullAttributesFile(&attributes, &info), status);
        EXPECT_EQ(ZwDeleteFile(&attributes), status);
    }

    // An open that does not share delete keeps the file; one that does, does not.
    Opened holder = Create(name, FILE_GENERIC_READ, FILE_OPEN, 0, FILE_SHARE_READ);
    ASSERT_EQ(holder.status, STATUS_SUCCESS);
    attributes = Attributes(&text, name);
    EXPECT_EQ(ZwDeleteFile(&attributes), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ZwClose(holder.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteFile(&attributes), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryFullAttributesFile(&attributes, &info), STATUS_OBJECT_NAME_NOT_FOUND);
    attributes = Attributes(&text, directory);
    EXPECT_EQ(ZwDeleteFile(&attributes), STATUS_SUCCESS) << "empty now";

    plat::fault::FailNth("ZwQueryFullAttributesFile", 1, STATUS_DEVICE_BUSY);
    EXPECT_EQ(ZwQueryFullAttributesFile(&attributes, &info), STATUS_DEVICE_BUSY);
}

using DriveDeathTest = DriveTest;

TEST_F(DriveDeathTest, FileCallsAbovePassiveLevelStopTheSystem)
{
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            Create(L"\\??\\C:\\Windows\\x", kWriteOnly, FILE_OVERWRITE_IF);
        },
        "ZwCreateFile");
}

}  // namespace
