// The registry hive and its file: regedit's conventions, damage, atomic saves and the namespace rules.
#include <gmock/gmock.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include <wdm.h>

#include "machine/registry.h"

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

}  // namespace
}  // namespace tvrx::test
