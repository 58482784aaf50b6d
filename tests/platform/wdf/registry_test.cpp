// The framework's registry keys and string objects, on a driver object the
// test creates with its service's key: writes through a write key read back
// through a read key, strings as the framework reads them, and failures that
// leave nothing behind.
#include <gmock/gmock.h>

#include <fstream>
#include <memory>
#include <sstream>

#include <wdf.h>

#include "machine/registry.h"
#include "support/frameworkdriver.h"
#include "support/kernel.h"
#include "wdf/driver.h"

namespace tvrx::test {
namespace {

using plat::RegistryValue;
using ::testing::HasSubstr;

std::string ReadFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

RegistryValue Raw(ULONG type, std::vector<uint8_t> data) { return RegistryValue{type, std::move(data)}; }

// ---------------------------------------------------------------- framework keys and strings

class WdfRegistry : public KernelBed {
protected:
    void SetUp() override
    {
        KernelBed::SetUp();
        framework = std::make_unique<FrameworkDriver>();
        driver = framework->Handle();
    }

    void TearDown() override
    {
        framework.reset();
        KernelBed::TearDown();
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

    std::unique_ptr<FrameworkDriver> framework;
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
