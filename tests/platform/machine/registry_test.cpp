// The registry hive and its file, the Rtl query routines and the framework's registry and string objects.
#include <gmock/gmock.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "machine/registry.h"
#include "ntos/ex/pool.h"
#include "support/testbed.h"
#include "wdf/driver.h"

namespace tvrx::test {
namespace {

using plat::Registry;
using plat::RegistryValue;
using ::testing::HasSubstr;

const std::wstring kKey = L"\\Registry\\Machine\\SOFTWARE\\Tavrix Test";
const std::string kHeader = "Windows Registry Editor Version 5.00\n";

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tvrx-registry-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file() const { return path_ / "registry.reg"; }

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

std::vector<std::string> FolderEntries(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    return names;
}

RegistryValue Raw(ULONG type, std::vector<uint8_t> data) { return RegistryValue{type, std::move(data)}; }

// Every kind of value the file must carry, with names and text that need escaping.
std::vector<plat::RegistryEntry> EveryKindOfValue()
{
    std::vector<uint8_t> blob(200);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    return {
        {L"", RegistryValue::String(L"default")},
        {L"quote\"and\\slash", RegistryValue::String(L"C:\\path \"quoted\"")},
        {L"unicode \u00e9", RegistryValue::String(L"caf\u00e9 \U0001F600")},
        {L"empty", RegistryValue::String(L"")},
        {L"dword", RegistryValue::Dword(0xDEADBEEF)},
        {L"qword", RegistryValue::Qword(0x0123456789ABCDEFull)},
        {L"binary", Raw(REG_BINARY, blob)},
        {L"expand", RegistryValue::String(L"%SystemRoot%\\x", REG_EXPAND_SZ)},
        {L"multi", RegistryValue::MultiString({L"one", L"two"})},
        {L"none", Raw(REG_NONE, {})},
        {L"odd type", Raw(0x100000, {1, 2, 3})},
        {L"embedded nul", RegistryValue::String(std::wstring(L"a\0b", 3))},
        {L"unterminated", Raw(REG_SZ, {0x41, 0})},
        {L"short dword", Raw(REG_DWORD, {1, 2})},
        {L"line break", RegistryValue::String(L"two\nlines")},
    };
}

// ---------------------------------------------------------------- the file

TEST(RegistryFile, RoundTripKeepsEveryTypeNameAndText)
{
    TempFolder folder;
    {
        Registry registry(folder.file());
        for (const auto& entry : EveryKindOfValue()) registry.SetValue(kKey, entry.name, entry.value);
        registry.CreateKeyPath(kKey + L"\\Empty Subkey");
    }
    Registry loaded(folder.file());
    for (const auto& entry : EveryKindOfValue()) {
        EXPECT_EQ(loaded.GetValue(kKey, entry.name), entry.value) << plat::RegistryText(entry.name);
    }
    EXPECT_TRUE(loaded.KeyExists(kKey + L"\\EMPTY subkey"));

    std::string text = ReadFile(folder.file());
    EXPECT_EQ(text, loaded.Dump());
    EXPECT_EQ(text.rfind(kHeader, 0), 0u);
    EXPECT_THAT(text, HasSubstr("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix Test]\n@=\"default\"\n"));
    EXPECT_THAT(text, HasSubstr("\n\"quote\\\"and\\\\slash\"=\"C:\\\\path \\\"quoted\\\"\"\n"));
    EXPECT_THAT(text, HasSubstr("\n\"dword\"=dword:deadbeef\n"));
    EXPECT_THAT(text, HasSubstr("\n\"qword\"=hex(b):ef,cd,ab,89,67,45,23,01\n"));
    EXPECT_THAT(text, HasSubstr("\n\"multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00\n"));
    EXPECT_THAT(text, HasSubstr("\n\"none\"=hex(0):\n"));
    EXPECT_THAT(text, HasSubstr("\n\"odd type\"=hex(100000):01,02,03\n"));
    EXPECT_THAT(text, HasSubstr("\n\"unterminated\"=hex(1):41,00\n"));
    EXPECT_THAT(text, HasSubstr("\n\"line break\"=hex(1):"));
    EXPECT_THAT(text, HasSubstr("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix Test\\Empty Subkey]\n"));
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

std::string Utf16WithMark(const std::string& ascii)
{
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += {c, '\0'};
    return out;
}

TEST(RegistryFile, ReadsRegeditConventions)
{
    TempFolder folder;
    WriteFile(folder.file(), Utf16WithMark("Windows Registry Editor Version 5.00\r\n"
                                           "\r\n"
                                           "; exported by hand\r\n"
                                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\HardwareConfig\\Current]\r\n"
                                           "\"BIOSVersion\"=\"V1.2\"\r\n"
                                           "\"Blob\"=hex:00,01,02,\\\r\n"
                                           "  03,04\r\n"
                                           "\"Gone\"=\"x\"\r\n"
                                           "\r\n"
                                           "[hkey_local_machine\\system\\HARDWARECONFIG\\current]\r\n"
                                           "\"gone\"=-\r\n"
                                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\Obsolete\\Child]\r\n"
                                           "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Obsolete]\r\n"));
    Registry registry(folder.file());
    const std::wstring current = L"\\Registry\\Machine\\System\\HardwareConfig\\Current";
    EXPECT_EQ(registry.GetString(current, L"biosversion"), L"V1.2");
    EXPECT_EQ(registry.GetValue(current, L"Blob"), Raw(REG_BINARY, {0, 1, 2, 3, 4}));
    EXPECT_FALSE(registry.GetValue(current, L"Gone"));
    EXPECT_FALSE(registry.KeyExists(L"\\Registry\\Machine\\SYSTEM\\Obsolete"));
    // The first spelling of a key is the one kept.
    EXPECT_THAT(registry.Dump(), HasSubstr("[HKEY_LOCAL_MACHINE\\SYSTEM\\HardwareConfig\\Current]"));
}

struct Damage {
    std::string text;
    size_t line;
    std::string message;
};

TEST(RegistryFile, DamagedFileIsRefusedNamingFileAndLine)
{
    const std::string h = kHeader;
    const std::string k = h + "[HKEY_LOCAL_MACHINE\\A]\n";
    std::string deep = h + "[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 600; ++i) deep += "\\k";
    const std::vector<Damage> cases = {
        {"", 1, "expected \"Windows Registry Editor Version 5.00\""},
        {"REGEDIT4\n", 1, "expected \"Windows Registry Editor Version 5.00\""},
        {std::string("\xFF\xFEW\0i", 5), 1, "invalid UTF-16 text"},
        {h + "\n[HKEY_LOCAL_MACHINE\\A\n", 3, "unterminated section"},
        {h + "[HKEY_CLASSES_ROOT\\A]\n", 2, "unknown root key"},
        {h + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2, "bad key name"},
        {deep + "]\n", 2, "key path too deep"},
        {h + "\"a\"=\"b\"\n", 2, "value outside a key"},
        {h + "[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n", 3, "value in a removed key"},
        {h + "[-HKEY_LOCAL_MACHINE]\n", 2, "a root key cannot be removed"},
        {k + "name=1\n", 3, "expected \"name\"=value"},
        {k + "\"a\" \"b\"\n", 3, "expected \"name\"=value"},
        {k + "\"a\"=\"b\n", 3, "unterminated string"},
        {k + "\"a\\\n", 3, "unterminated string"},
        {k + "\"a\"=\"b\\n\"\n", 3, "bad escape"},
        {k + "\"a\"=\"b\" x\n", 3, "unexpected text after the value"},
        {k + "\"a\"=\n", 3, "missing value data"},
        {k + "\"a\"=str\n", 3, "unknown value type"},
        {k + "\"a\"=dword:123456789\n", 3, "bad dword"},
        {k + "\"a\"=dword:\n", 3, "bad dword"},
        {k + "\"a\"=hex:01,zz\n", 3, "bad hex byte"},
        {k + "\"a\"=hex:01,,02\n", 3, "bad hex byte"},
        {k + "\"a\"=hex:100\n", 3, "bad hex byte"},
        {k + "\"a\"=hex(q):01\n", 3, "bad hex type"},
        {k + "\"a\"=hex(2)01\n", 3, "bad hex type"},
        {k + "\"a\"=hex:01,\\\n  zz\n", 4, "bad hex byte"},
        {k + "\"a\"=hex:01,\\\n  02,\\\n", 4, "unterminated hex continuation"},
        {k + "\"a\xFF\"=\"b\"\n", 3, "invalid UTF-8"},
        {k + "\"a\xED\xA0\x80\"=\"b\"\n", 3, "invalid UTF-8"},
    };
    TempFolder folder;
    for (const auto& c : cases) {
        WriteFile(folder.file(), c.text);
        std::string expected = folder.file().string() + ":" + std::to_string(c.line) + ": " + c.message;
        try {
            Registry registry(folder.file());
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), expected) << c.text;
        }
    }
}

// Truncated or corrupted files either load or are refused with a line; what
// loads writes back to a text that reads back the same.
TEST(RegistryFile, ParserSurvivesTruncationAndCorruption)
{
    Registry registry(std::filesystem::path{});
    for (const auto& entry : EveryKindOfValue()) registry.SetValue(kKey, entry.name, entry.value);
    const std::string good = registry.Dump();
    size_t lineCount = std::count(good.begin(), good.end(), '\n') + 1;

    auto check = [&](const std::string& text) {
        Registry::ParseResult parsed = Registry::Parse(text);
        if (!parsed.Ok()) {
            EXPECT_FALSE(parsed.error.empty());
            EXPECT_GE(parsed.line, 1u);
            EXPECT_LE(parsed.line, lineCount);
            return;
        }
        std::string again = Registry::Format(*parsed.root);
        Registry::ParseResult reparsed = Registry::Parse(again);
        ASSERT_TRUE(reparsed.Ok()) << reparsed.error;
        EXPECT_EQ(Registry::Format(*reparsed.root), again);
    };
    for (size_t length = 0; length <= good.size(); length += 3) check(good.substr(0, length));
    std::mt19937 random(12345);
    for (int i = 0; i < 3000; ++i) {
        std::string text = good;
        for (int flips = 1 + random() % 3; flips > 0; --flips) {
            text[random() % text.size()] = static_cast<char>(random() % 256);
        }
        check(text);
    }
}

TEST(RegistryFile, SaveReplacesTheFileWholeOrNotAtAll)
{
    TempFolder folder;
    Registry registry(folder.file());
    for (uint32_t i = 0; i < 5; ++i) registry.SetDword(kKey, L"Counter", i);
    EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"registry.reg"});
    const std::string saved = ReadFile(folder.file());

    // A save that cannot create its temporary file leaves the old file as it was
    // and keeps the change in memory; the next save writes it.
    auto blocker = folder.path() / (".registry.reg." + std::to_string(getpid()) + ".tmp");
    std::filesystem::create_directory(blocker);
    registry.SetDword(kKey, L"Counter", 99);
    EXPECT_THROW(registry.Save(), std::runtime_error);
    EXPECT_EQ(ReadFile(folder.file()), saved);
    EXPECT_EQ(registry.GetDword(kKey, L"Counter"), 99u);

    std::filesystem::remove(blocker);
    registry.SetString(kKey, L"Other", L"x");
    EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"registry.reg"});
    EXPECT_EQ(Registry(folder.file()).GetDword(kKey, L"counter"), 99u);
}

// Every change reaches the file at once, except inside a batch, whose changes
// reach it together when the last open batch closes.
TEST(RegistryFile, ChangesReachTheFileAtOnceOrWhenTheBatchCloses)
{
    TempFolder folder;
    Registry registry(folder.file());
    registry.SetDword(kKey, L"Counter", 1);
    EXPECT_EQ(Registry(folder.file()).GetDword(kKey, L"Counter"), 1u);
    {
        Registry::Batch outer(registry);
        registry.SetDword(kKey, L"Counter", 2);
        {
            Registry::Batch inner(registry);
            registry.SetString(kKey, L"Name", L"batched");
        }
        EXPECT_EQ(Registry(folder.file()).GetDword(kKey, L"Counter"), 1u);
        EXPECT_EQ(registry.GetDword(kKey, L"Counter"), 2u);  // the hive in memory is what counts
    }
    Registry reread(folder.file());
    EXPECT_EQ(reread.GetDword(kKey, L"Counter"), 2u);
    EXPECT_EQ(reread.GetString(kKey, L"Name"), L"batched");
}

TEST(RegistryHive, KernelServicesFollowTheObjectNamespaceRules)
{
    Registry registry(std::filesystem::path{});
    bool created = false;
    EXPECT_EQ(registry.CreateKey(kKey + L"\\A\\B", &created), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(registry.CreateKey(L"\\Registry\\Machine\\Software", &created), STATUS_SUCCESS);
    EXPECT_TRUE(created);
    EXPECT_EQ(registry.CreateKey(L"\\REGISTRY\\MACHINE\\SOFTWARE", &created), STATUS_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(registry.CreateKey(L"\\Registry\\Elsewhere", &created), STATUS_ACCESS_DENIED);
    EXPECT_EQ(registry.OpenKey(L"Registry\\Machine"), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(registry.OpenKey(L"\\Registry\\Machine\\\\Software"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(registry.OpenKey(L"\\Registry\\Machine\\Software\\"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(registry.OpenKey(L"\\Device\\Machine"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(registry.WriteValue(L"\\Registry\\Machine\\Software", L"bad\nname", RegistryValue::Dword(1)),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_THROW(registry.SetString(L"\\Registry\\Elsewhere\\X", L"a", L"b"), std::invalid_argument);
}

// ---------------------------------------------------------------- RtlQueryRegistryValues

const ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);

class RtlRegistry : public Testbed {
protected:
    plat::Registry& Hive() { return machine->Registry(); }

    // One direct entry and the terminator.
    NTSTATUS QueryDirect(PCWSTR name, PVOID destination, ULONG flags = 0, ULONG defaultType = REG_NONE,
                         const std::wstring& path = kKey)
    {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = destination;
        table[0].DefaultType = defaultType;
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path.c_str(), table, nullptr, nullptr);
    }
};

TEST_F(RtlRegistry, DirectStringIsAllocatedOrCopiedWithItsTerminator)
{
    Hive().SetString(kKey, L"Version", L"ABC");
    UNICODE_STRING allocated{};
    ASSERT_EQ(QueryDirect(L"Version", &allocated), STATUS_SUCCESS);
    EXPECT_EQ(allocated.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(allocated.MaximumLength, 4 * sizeof(WCHAR));
    EXPECT_EQ(std::wstring(allocated.Buffer, 4), std::wstring(L"ABC", 4));
    EXPECT_EQ(plat::pool::Outstanding()[kStringTag].allocations, 1u);
    RtlFreeUnicodeString(&allocated);

    WCHAR small[3];
    UNICODE_STRING tooSmall{0, sizeof(small), small};
    EXPECT_EQ(QueryDirect(L"Version", &tooSmall), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.Length, 0);

    WCHAR exact[4];
    UNICODE_STRING fits{0, sizeof(exact), exact};
    EXPECT_EQ(QueryDirect(L"Version", &fits, RTL_QUERY_REGISTRY_TYPECHECK, REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT),
              STATUS_SUCCESS);
    EXPECT_EQ(fits.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(exact[3], L'\0');

    // An empty stored string (even one without its NUL) gives an empty, terminated string.
    Hive().SetValue(kKey, L"Empty", Raw(REG_SZ, {}));
    UNICODE_STRING empty{};
    ASSERT_EQ(QueryDirect(L"Empty", &empty), STATUS_SUCCESS);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, sizeof(WCHAR));
    RtlFreeUnicodeString(&empty);
}

TEST_F(RtlRegistry, MissingValueKeyOrRequiredValue)
{
    Hive().CreateKeyPath(kKey);
    UNICODE_STRING out{};
    EXPECT_EQ(QueryDirect(L"Absent", &out), STATUS_SUCCESS);
    EXPECT_EQ(out.Buffer, nullptr);
    EXPECT_EQ(QueryDirect(L"Absent", &out, RTL_QUERY_REGISTRY_REQUIRED), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(QueryDirect(L"Absent", &out, 0, REG_NONE, kKey + L"\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(out.Buffer, nullptr);
}

// A REG_DWORD queried into a UNICODE_STRING lands on its Length and
// MaximumLength: the caller then holds a "string" of 16 bytes with no buffer.
// Type checking refuses the value and leaves the string alone.
TEST_F(RtlRegistry, DirectDwordOverwritesAStringUnlessTypeChecked)
{
    Hive().SetDword(kKey, L"Version", 0x00200010);
    UNICODE_STRING out{};
    ASSERT_EQ(QueryDirect(L"Version", &out), STATUS_SUCCESS);
    EXPECT_EQ(out.Length, 0x10);
    EXPECT_EQ(out.MaximumLength, 0x20);
    EXPECT_EQ(out.Buffer, nullptr);

    UNICODE_STRING checked{};
    EXPECT_EQ(QueryDirect(L"Version", &checked, RTL_QUERY_REGISTRY_TYPECHECK,
                          REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(checked.Length, 0);
    EXPECT_EQ(checked.MaximumLength, 0);
}

TEST_F(RtlRegistry, DirectLongDataNeedsASizedBuffer)
{
    Hive().SetValue(kKey, L"Blob", Raw(REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}));
    struct {
        LONG size;
        uint8_t rest[20];
    } buffer{};

    buffer.size = -12;
    ASSERT_EQ(QueryDirect(L"Blob", &buffer), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&buffer, "\1\2\3\4\5\6\7\10", 8), 0);

    buffer = {};
    buffer.size = 16;
    ASSERT_EQ(QueryDirect(L"Blob", &buffer), STATUS_SUCCESS);
    ULONG header[2];
    memcpy(header, &buffer, sizeof(header));
    EXPECT_EQ(header[0], 8u);
    EXPECT_EQ(header[1], ULONG(REG_BINARY));
    EXPECT_EQ(memcmp(buffer.rest + 4, "\1\2\3\4\5\6\7\10", 8), 0);

    for (LONG size : {-7, 15}) {
        buffer = {};
        buffer.size = size;
        EXPECT_EQ(QueryDirect(L"Blob", &buffer), STATUS_BUFFER_TOO_SMALL) << size;
        EXPECT_EQ(buffer.size, size);
        EXPECT_EQ(buffer.rest[0], 0);
    }
}

// RTL_QUERY_REGISTRY_DIRECT as documented, also under RTL_QUERY_REGISTRY_TYPECHECK:
// a UNICODE_STRING with a buffer of its own must have room for the string and
// its NUL in MaximumLength; non-string data longer than a ULONG needs a buffer
// whose leading LONG gives its size. A buffer too small is refused with
// STATUS_BUFFER_TOO_SMALL and left as it was.
TEST_F(RtlRegistry, DirectBuffersTooSmallAreRefusedAndLeftAlone)
{
    const ULONG checkSz = REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    Hive().SetString(kKey, L"Version", L"ABC");
    WCHAR characters[3] = {L'x', L'y', L'z'};
    UNICODE_STRING noRoomForNul{0, sizeof(characters), characters};
    for (ULONG flags : {0u, ULONG(RTL_QUERY_REGISTRY_TYPECHECK)}) {
        EXPECT_EQ(QueryDirect(L"Version", &noRoomForNul, flags, flags ? checkSz : REG_NONE), STATUS_BUFFER_TOO_SMALL)
            << flags;
        EXPECT_EQ(noRoomForNul.Length, 0);
        EXPECT_EQ(noRoomForNul.MaximumLength, sizeof(characters));
        EXPECT_EQ(characters[0], L'x');
    }

    const ULONG checkQword = REG_QWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    Hive().SetValue(kKey, L"Big", Raw(REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}));
    // A 64-bit variable whose first LONG does not announce room for 8 bytes.
    for (LONGLONG before : {LONGLONG{0}, LONGLONG{-7}, LONGLONG{15}}) {
        LONGLONG value = before;
        EXPECT_EQ(QueryDirect(L"Big", &value, RTL_QUERY_REGISTRY_TYPECHECK, checkQword), STATUS_BUFFER_TOO_SMALL)
            << before;
        EXPECT_EQ(value, before);
    }
    LONGLONG value = -8;  // the data alone, 8 bytes
    ASSERT_EQ(QueryDirect(L"Big", &value, RTL_QUERY_REGISTRY_TYPECHECK, checkQword), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x0807060504030201);
    // The type is checked before any buffer is looked at.
    EXPECT_EQ(QueryDirect(L"Big", &value, RTL_QUERY_REGISTRY_TYPECHECK, checkSz), STATUS_OBJECT_TYPE_MISMATCH);
}

struct Seen {
    std::wstring name;
    ULONG type;
    std::wstring text;
};

NTSTATUS Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    static_cast<std::vector<Seen>*>(context)->push_back(
        {name, type, std::wstring(static_cast<const WCHAR*>(data), length / sizeof(WCHAR))});
    return STATUS_SUCCESS;
}

TEST_F(RtlRegistry, QueryRoutineGetsStringsOneByOneAndDefaults)
{
    Hive().SetValue(kKey, L"List", RegistryValue::MultiString({L"a", L"bc"}));
    WCHAR fallback[] = L"fallback";
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    table[0] = {Collect, 0, const_cast<PWSTR>(L"List"), nullptr, REG_NONE, nullptr, 0};
    table[1] = {Collect, RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(L"List"), nullptr, REG_NONE, nullptr, 0};
    table[2] = {Collect, 0, const_cast<PWSTR>(L"Absent"), nullptr, REG_SZ, fallback, 0};
    std::vector<Seen> seen;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey.c_str(), table, &seen, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].type, ULONG(REG_SZ));
    EXPECT_EQ(seen[0].text, std::wstring(L"a", 2));
    EXPECT_EQ(seen[1].text, std::wstring(L"bc", 3));
    EXPECT_EQ(seen[2].type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(seen[2].text, std::wstring(L"a\0bc\0", 6));
    EXPECT_EQ(seen[3].name, L"Absent");
    EXPECT_EQ(seen[3].text, std::wstring(L"fallback", 9));
}

TEST_F(RtlRegistry, ServicesRelativePathExportAndFaultPoint)
{
    const std::wstring parameters = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tavrix\\Parameters";
    Hive().SetDword(parameters, L"Level", 7);
    ULONG level = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Level"), &level, REG_NONE, nullptr, 0};
    ASSERT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_SERVICES, L"tavrix\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 7u);

    UNICODE_STRING name = RTL_CONSTANT_STRING(L"RtlQueryRegistryValuesEx");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&RtlQueryRegistryValuesEx));
    machine->options().rtlQueryRegistryValuesEx = false;
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);

    plat::fault::FailNth("RtlQueryRegistryValues", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"tavrix\\Parameters", table, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
}

// ---------------------------------------------------------------- framework keys and strings

class WdfRegistry : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        LoadAndAdd();
        driver = static_cast<WDFDRIVER>(plat::wdf::CurrentDriver()->handle);
    }

    WDFKEY OpenSubkey(ACCESS_MASK access)
    {
        WDFKEY parameters = nullptr, key = nullptr;
        EXPECT_EQ(WdfDriverOpenParametersRegistryKey(driver, access, WDF_NO_OBJECT_ATTRIBUTES, &parameters),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfRegistryOpenKey(parameters, &subkey, access, WDF_NO_OBJECT_ATTRIBUTES, &key), STATUS_SUCCESS);
        WdfRegistryClose(parameters);
        return key;
    }

    WDFDRIVER driver = nullptr;
    UNICODE_STRING subkey = RTL_CONSTANT_STRING(L"SARService");
    UNICODE_STRING state = RTL_CONSTANT_STRING(L"BiosSarState");
    UNICODE_STRING info = RTL_CONSTANT_STRING(L"BiosInfo");
};

TEST_F(WdfRegistry, ValuesWrittenThroughAWriteKeyReadBackThroughAReadKey)
{
    WDFKEY parameters = nullptr, key = nullptr;
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(driver, KEY_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &parameters),
              STATUS_SUCCESS);
    ULONG disposition = 0;
    ASSERT_EQ(WdfRegistryCreateKey(parameters, &subkey, KEY_WRITE, REG_OPTION_NON_VOLATILE, &disposition,
                                   WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(WdfRegistryAssignULong(key, &state, 1), STATUS_SUCCESS);
    UNICODE_STRING text = RTL_CONSTANT_STRING(L"V1.2");
    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(&text, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignString(key, &info, string), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryString(key, &info, string), STATUS_ACCESS_DENIED);
    WdfObjectDelete(string);
    WdfRegistryClose(key);
    ASSERT_EQ(WdfRegistryCreateKey(parameters, &subkey, KEY_WRITE, REG_OPTION_NON_VOLATILE, &disposition,
                                   WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    WdfRegistryClose(key);
    WdfRegistryClose(parameters);

    std::string file = ReadFile(machine->Folder() / "registry.reg");
    EXPECT_THAT(file, HasSubstr("\\Services\\tavrix\\Parameters\\SARService]\n"
                                "\"BiosInfo\"=\"V1.2\"\n"
                                "\"BiosSarState\"=dword:00000001\n"));

    key = OpenSubkey(KEY_READ);
    WDFSTRING read = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &read), STATUS_SUCCESS);
    ASSERT_EQ(WdfRegistryQueryString(key, &info, read), STATUS_SUCCESS);
    UNICODE_STRING value{};
    WdfStringGetUnicodeString(read, &value);
    UNICODE_STRING expected = RTL_CONSTANT_STRING(L"v1.2");
    EXPECT_TRUE(RtlEqualUnicodeString(&value, &expected, TRUE));
    EXPECT_EQ(WdfRegistryQueryString(key, &state, read), STATUS_OBJECT_TYPE_MISMATCH);
    UNICODE_STRING absent = RTL_CONSTANT_STRING(L"Absent");
    EXPECT_EQ(WdfRegistryQueryString(key, &absent, read), STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG number = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &state, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(WdfRegistryAssignULong(key, &state, 2), STATUS_ACCESS_DENIED);
    EXPECT_EQ(WdfRegistryAssignString(key, &info, read), STATUS_ACCESS_DENIED);
    WdfObjectDelete(read);
    WdfRegistryClose(key);
}

// WdfRegistryQueryString as the framework reads a string value: an empty
// REG_SZ holds its NUL and reads as ""; a value without any data is
// STATUS_RESOURCE_DATA_NOT_FOUND, and the string keeps what it held; only the
// final NUL is dropped, so one before it stays part of the string.
TEST_F(WdfRegistry, QueryStringOfEmptyAndDatalessValues)
{
    const std::wstring path = plat::wdf::CurrentDriver()->registryPath + L"\\Parameters\\SARService";
    machine->Registry().SetValue(path, L"Empty", RegistryValue::String(L""));
    machine->Registry().SetValue(path, L"NoData", Raw(REG_EXPAND_SZ, {}));
    machine->Registry().SetValue(path, L"TwoNuls", Raw(REG_SZ, {'a', 0, 0, 0, 0, 0}));
    WDFKEY key = OpenSubkey(KEY_READ);
    UNICODE_STRING initial = RTL_CONSTANT_STRING(L"kept");
    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(&initial, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    UNICODE_STRING value{};

    UNICODE_STRING name = RTL_CONSTANT_STRING(L"NoData");
    EXPECT_EQ(WdfRegistryQueryString(key, &name, string), STATUS_RESOURCE_DATA_NOT_FOUND);
    WdfStringGetUnicodeString(string, &value);
    EXPECT_TRUE(RtlEqualUnicodeString(&value, &initial, FALSE));

    name = RTL_CONSTANT_STRING(L"Empty");
    EXPECT_EQ(WdfRegistryQueryString(key, &name, string), STATUS_SUCCESS);
    WdfStringGetUnicodeString(string, &value);
    EXPECT_EQ(value.Length, 0);

    name = RTL_CONSTANT_STRING(L"TwoNuls");
    EXPECT_EQ(WdfRegistryQueryString(key, &name, string), STATUS_SUCCESS);
    WdfStringGetUnicodeString(string, &value);
    EXPECT_EQ(std::wstring(value.Buffer, value.Length / sizeof(WCHAR)), std::wstring(L"a\0", 2));

    WdfObjectDelete(string);
    WdfRegistryClose(key);
}

TEST_F(WdfRegistry, MissingSubkeyAndInjectedFailuresLeaveNothingBehind)
{
    WDFKEY parameters = nullptr, key = nullptr;
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(driver, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &parameters),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryOpenKey(parameters, &subkey, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    plat::fault::FailNth("WdfRegistryCreateKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfRegistryCreateKey(parameters, &subkey, KEY_WRITE, REG_OPTION_NON_VOLATILE, nullptr,
                                   WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(machine->Registry().KeyExists(plat::wdf::CurrentDriver()->registryPath + L"\\Parameters\\SARService"));

    plat::fault::FailNth("WdfStringCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDFSTRING string = nullptr;
    EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(string, nullptr);
    WdfRegistryClose(parameters);
}

}  // namespace
}  // namespace tvrx::test
