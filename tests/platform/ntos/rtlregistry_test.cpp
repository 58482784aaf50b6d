// RtlQueryRegistryValues on the machine's hive: direct entries, query routines,
// defaults, relative paths and its failure point.
#include <gmock/gmock.h>

#include "machine/registry.h"
#include "ntos/ex/pool.h"
#include "support/kernel.h"

namespace tvrx::test {
namespace {

using plat::RegistryValue;

const std::wstring kKey = L"\\Registry\\Machine\\SOFTWARE\\Tavrix Test";

RegistryValue Raw(ULONG type, std::vector<uint8_t> data) { return RegistryValue{type, std::move(data)}; }

const ULONG kStringTag = 'S' | ('t' << 8) | ('r' << 16) | ('g' << 24);

class RtlRegistry : public KernelBed {
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

}  // namespace
}  // namespace tvrx::test
