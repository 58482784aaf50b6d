// The device the driver's package secures: what each kind of account may
// open it for and do with it.
#include "support/client.h"


namespace tvrx::test {
namespace {

using plat::se::TokenKind;


// ---------------------------------------------------------------- the secured device

const char* const kSetType = "set type";
const char* const kQuery = "query";
const char* const kRegister = "register";

class DeviceSecurity : public ClientBed {
protected:
    void SetUp() override
    {
        ClientBed::SetUp();
        Boot();
    }
};

// Each kind of account against the package's descriptor: SYSTEM,
// administrators and services read and write; a standard user reads only.
TEST_F(DeviceSecurity, EachKindOpensAndControlsAsThePackageAllows)
{
    struct Row {
        TokenKind kind;
        bool mayWrite;
    } rows[] = {{TokenKind::System, true},
                {TokenKind::LocalService, true},
                {TokenKind::NetworkService, true},
                {TokenKind::Administrator, true},
                {TokenKind::User, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(plat::se::KindName(row.kind)));
        Client client("client", row.kind);
        EXPECT_EQ(client.Open(GENERIC_WRITE), row.mayWrite ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        client.Close();
        ASSERT_EQ(client.Open(GENERIC_READ), STATUS_SUCCESS);
        // Through a read handle: the queries and the registration, never the regulatory type.
        TVRX_DEVICE_MODE_ENTRY_INFO entry;
        EXPECT_EQ(client.GetEntry(&entry).status, STATUS_SUCCESS) << kQuery;
        ULONG index = 0;
        TVRX_DEVICE_MODE_TABLE_INFO table;
        EXPECT_EQ(client.Control(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, sizeof index, &table, sizeof table)
                      .status,
                  STATUS_SUCCESS)
            << kQuery;
        HANDLE event = client.NewEvent();
        EXPECT_EQ(client.Register(event), STATUS_SUCCESS) << kRegister;
        EXPECT_EQ(client.SetRegulatoryType(1), STATUS_ACCESS_DENIED) << kSetType;
        EXPECT_EQ(View().regulatoryType, 0u) << "a refused set changed the type";
        client.Close();
        client.CloseObject(event);
        if (row.mayWrite) {
            ASSERT_EQ(client.Open(GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
            EXPECT_EQ(client.SetRegulatoryType(2), STATUS_SUCCESS) << kSetType;
            EXPECT_EQ(client.SetRegulatoryType(0), STATUS_SUCCESS) << kSetType;
            client.Close();
        }
    }
}

// What CreateFileW reports to a standard user's program opening for writing.
TEST_F(DeviceSecurity, CreateFileForWritingAsAStandardUserIsAccessDenied)
{
    Client user("user", TokenKind::User);
    std::wstring path = TavrixInterfacePath();
    DWORD error = user.process.Run([&] {
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD last = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
        return last;
    });
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
}

// The framework's devices have FILE_DEVICE_SECURE_OPEN: a name below the
// device is opened under the device's own descriptor, not around it.
TEST_F(DeviceSecurity, ANameBelowTheDeviceIsCheckedAgainstTheDevice)
{
    Client user("user", TokenKind::User);
    EXPECT_EQ(user.Open(GENERIC_READ | GENERIC_WRITE, L"\\anything"), STATUS_ACCESS_DENIED);
    ASSERT_EQ(user.Open(GENERIC_READ, L"\\anything"), STATUS_SUCCESS);
    EXPECT_EQ(user.SetRegulatoryType(1), STATUS_ACCESS_DENIED);
    user.Close();
    Client service("service");
    ASSERT_EQ(service.Open(GENERIC_READ | GENERIC_WRITE, L"\\anything"), STATUS_SUCCESS);
    EXPECT_EQ(service.SetRegulatoryType(1), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tvrx::test
