// The Win32-shaped API of client processes reaching a framework driver:
// finding and opening its device, and its failures as Win32 errors.
#include <wdf.h>
#include <windows.h>

#include <memory>
#include <string>

#include "support/machinebed.h"
#include "support/minidriver.h"
#include "um/client.h"

namespace tvrx::test {
namespace {

class ClientApi : public MachineBed {
protected:
    void SetUp() override
    {
        MachineBed::SetUp();
        a = std::make_unique<plat::um::Process>("a");
    }

    void TearDown() override
    {
        a.reset();
        driver.reset();
        MachineBed::TearDown();
    }

    std::unique_ptr<MiniDriver> driver;
    std::unique_ptr<plat::um::Process> a;
};

TEST_F(ClientApi, InterfaceListNamesThePathsClientsOpen)
{
    GUID klass = kMiniInterface;
    a->Run([&] {
        ULONG size = 0;
        ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &klass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        EXPECT_EQ(size, 1u);  // no device yet: just the final empty string
    });
    driver = std::make_unique<MiniDriver>();
    a->Run([&] {
        ULONG size = 0;
        ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &klass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        std::wstring list(size, L'?');
        EXPECT_EQ(CM_Get_Device_Interface_ListW(&klass, nullptr, list.data(), size - 1, 0),
                  static_cast<CONFIGRET>(CR_BUFFER_SMALL));
        ASSERT_EQ(CM_Get_Device_Interface_ListW(&klass, nullptr, list.data(), size, 0),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        std::wstring first(list.c_str());
        EXPECT_EQ(first, driver->Path());
        EXPECT_EQ(first.size() + 2, size);
        EXPECT_EQ(first.rfind(L"\\\\?\\ROOT#MINI#0#{", 0), 0u);

        HANDLE device = CreateFileW(first.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CloseHandle(device));
        EXPECT_EQ(CreateFileW(L"\\\\?\\ROOT#NONE#0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    });
}

TEST_F(ClientApi, DeviceIoControlReportsFailuresThroughLastError)
{
    driver = std::make_unique<MiniDriver>();
    driver->control = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestComplete(request, STATUS_INVALID_USER_BUFFER);
    };
    a->Run([&] {
        HANDLE device = CreateFileW(driver->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        DWORD returned = 7;
        ULONG value = 3;
        EXPECT_FALSE(DeviceIoControl(device, 0x220004, &value, sizeof value, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
        EXPECT_EQ(returned, 0u);
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(device, 0x220004, &value, sizeof value, nullptr, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(CloseHandle(device));
        EXPECT_FALSE(DeviceIoControl(device, 0x220004, &value, sizeof value, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(CloseHandle(device));
        EXPECT_FALSE(CloseHandle(nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    });
}

}  // namespace
}  // namespace tvrx::test
