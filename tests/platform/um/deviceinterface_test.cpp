/*
 * The I/O manager's device interfaces and the lookup behind an open: what a
 * registration gives, which state lists and resolves, and where an open of a
 * link lands (Microsoft's "Registering a Device Interface Class" and
 * IoRegisterDeviceInterface / IoSetDeviceInterfaceState).
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "ntos/io/deviceinterface.h"
#include "ntos/io/devicefile.h"
#include "ntos/ob/handle.h"
#include "support/kernel.h"
#include "um/client.h"

namespace tvrx::test {
namespace {

// {0E7E4A7C-1D2B-4C5A-8F61-2B4C6D8E0A13}
constexpr GUID kClass = {0x0E7E4A7C, 0x1D2B, 0x4C5A, {0x8F, 0x61, 0x2B, 0x4C, 0x6D, 0x8E, 0x0A, 0x13}};
// {0E7E4A7C-1D2B-4C5A-8F61-2B4C6D8E0A14}
constexpr GUID kOtherClass = {0x0E7E4A7C, 0x1D2B, 0x4C5A, {0x8F, 0x61, 0x2B, 0x4C, 0x6D, 0x8E, 0x0A, 0x14}};

// A stack of two device objects whose drivers record which one a create reached.
struct Stack {
    static inline std::atomic<plat::io::DeviceObject*> created{nullptr};

    static NTSTATUS Create(plat::io::DeviceObject* device, plat::io::Irp* irp)
    {
        created = device;
        return plat::io::CompleteWith(irp, STATUS_SUCCESS);
    }
    static NTSTATUS Succeed(plat::io::DeviceObject*, plat::io::Irp* irp)
    {
        return plat::io::CompleteWith(irp, STATUS_SUCCESS);
    }

    explicit Stack(const wchar_t* instance)
    {
        for (plat::io::DriverObject* driver : {&busDriver, &functionDriver}) {
            driver->majorFunction[plat::io::kMjCreate] = Create;
            driver->majorFunction[plat::io::kMjCleanup] = Succeed;
            driver->majorFunction[plat::io::kMjClose] = Succeed;
        }
        physical.driver = &busDriver;
        physical.instanceId = instance;
        function.driver = &functionDriver;
        plat::io::IoAttachDevice(&function, &physical);
    }
    ~Stack() { plat::io::IoDetachDevice(&physical); }

    plat::io::DriverObject busDriver;
    plat::io::DriverObject functionDriver;
    plat::io::DeviceObject physical;
    plat::io::DeviceObject function;
};

using DeviceInterface = KernelBed;

std::wstring Register(Stack& stack, const GUID& guid, const std::wstring& reference = std::wstring())
{
    std::wstring link;
    EXPECT_EQ(plat::io::IoRegisterDeviceInterface(&stack.physical, guid, reference, &link), STATUS_SUCCESS);
    return link;
}

NTSTATUS Open(const std::wstring& name, HANDLE* handle)
{
    return plat::io::OpenByName(name, GENERIC_READ, KernelMode, true, 0, handle);
}

// The registration names the instance and class; it lists and opens only while enabled.
TEST_F(DeviceInterface, ListedAndOpenedOnlyWhileEnabled)
{
    Stack stack(L"ACPI\\TEST0001\\0");
    std::wstring link = Register(stack, kClass);
    EXPECT_EQ(link, L"\\??\\ACPI#TEST0001#0#{0E7E4A7C-1D2B-4C5A-8F61-2B4C6D8E0A13}");
    EXPECT_EQ(Register(stack, kClass, L"ref"), link + L"\\ref") << "a reference string names a second interface";
    EXPECT_EQ(Register(stack, kClass), link) << "registering again gives the same link";

    HANDLE handle = nullptr;
    EXPECT_TRUE(plat::io::IoGetDeviceInterfaces(kClass).empty()) << "registered interfaces start disabled";
    EXPECT_EQ(Open(link, &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(plat::io::IoSetDeviceInterfaceState(link, true), STATUS_SUCCESS);
    EXPECT_EQ(plat::io::IoSetDeviceInterfaceState(link, true), STATUS_SUCCESS) << "enabling twice is harmless";
    EXPECT_EQ(plat::io::IoGetDeviceInterfaces(kClass), std::vector<std::wstring>{link});
    EXPECT_TRUE(plat::io::IoGetDeviceInterfaces(kOtherClass).empty());
    EXPECT_EQ(plat::io::IoGetDeviceInterfaces(kClass, L"acpi\\test0001\\0").size(), 1u) << "instance without case";
    EXPECT_TRUE(plat::io::IoGetDeviceInterfaces(kClass, L"ACPI\\TEST0001\\1").empty());

    // The name resolves without case, to the top of the stack on the physical device object.
    std::wstring lower = link;
    for (wchar_t& c : lower) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    ASSERT_EQ(Open(lower, &handle), STATUS_SUCCESS);
    EXPECT_EQ(Stack::created.load(), &stack.function);
    EXPECT_EQ(plat::ob::CloseHandle(handle, KernelMode), STATUS_SUCCESS);

    ASSERT_EQ(plat::io::IoSetDeviceInterfaceState(link, false), STATUS_SUCCESS);
    EXPECT_TRUE(plat::io::IoGetDeviceInterfaces(kClass).empty());
    EXPECT_EQ(Open(link, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(plat::io::IoSetDeviceInterfaceState(L"\\??\\ROOT#NONE#0#{0}", true), STATUS_OBJECT_NAME_NOT_FOUND);

    // A device object that names no device instance is not a physical one.
    plat::io::DeviceObject loose;
    std::wstring none;
    EXPECT_EQ(plat::io::IoRegisterDeviceInterface(&loose, kClass, L"", &none), STATUS_INVALID_DEVICE_REQUEST);
}

// The configuration manager reads the I/O manager's list, as user-mode paths.
TEST_F(DeviceInterface, ConfigurationManagerListsEnabledInterfaces)
{
    Stack first(L"ROOT\\CMTEST\\0");
    Stack second(L"ROOT\\CMTEST\\1");
    std::wstring a = Register(first, kOtherClass);
    std::wstring b = Register(second, kOtherClass);
    plat::io::IoSetDeviceInterfaceState(b, true);
    plat::io::IoSetDeviceInterfaceState(a, true);

    GUID guid = kOtherClass;
    ULONG size = 0;
    ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
              CR_SUCCESS);
    std::wstring list(size, L'?');
    ASSERT_EQ(CM_Get_Device_Interface_ListW(&guid, nullptr, list.data(), size, 0), CR_SUCCESS);
    std::wstring expected = L"\\\\?\\" + a.substr(4) + L'\0' + L"\\\\?\\" + b.substr(4) + L'\0' + L'\0';
    EXPECT_EQ(list, expected) << "in registration order, each terminated, then the final terminator";

    wchar_t instance[] = L"ROOT\\CMTEST\\1";
    ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&size, &guid, instance, 0), CR_SUCCESS);
    EXPECT_EQ(size, b.size() + 2) << "one device's interfaces only";
    EXPECT_EQ(plat::um::FirstDeviceInterface(kOtherClass), L"\\\\?\\" + a.substr(4));
    plat::io::IoSetDeviceInterfaceState(a, false);
    plat::io::IoSetDeviceInterfaceState(b, false);
    EXPECT_EQ(plat::um::FirstDeviceInterface(kOtherClass), L"");
}

// Every change of state reaches the watcher once, after it took effect.
TEST_F(DeviceInterface, WatcherSeesEachArrivalAndRemoval)
{
    static std::vector<std::pair<std::wstring, bool>> seen;
    static size_t listedAtCall = 0;
    plat::io::SetInterfaceWatcher([](const GUID& guid, const std::wstring& link, bool arrived) {
        EXPECT_TRUE(IsEqualGUID(guid, kClass));
        listedAtCall = plat::io::IoGetDeviceInterfaces(kClass).size();
        seen.emplace_back(link, arrived);
    });
    Stack stack(L"ROOT\\WATCH\\0");
    std::wstring link = Register(stack, kClass);
    plat::io::IoSetDeviceInterfaceState(link, true);
    EXPECT_EQ(listedAtCall, 1u) << "an arrival is announced once the interface lists";
    plat::io::IoSetDeviceInterfaceState(link, true);
    plat::io::IoSetDeviceInterfaceState(link, false);
    EXPECT_EQ(listedAtCall, 0u);
    plat::io::SetInterfaceWatcher(nullptr);
    plat::io::IoSetDeviceInterfaceState(link, true);
    plat::io::IoSetDeviceInterfaceState(link, false);
    EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, bool>>{{link, true}, {link, false}}));
}

// A removal refuses new opens and waits for one that already resolved the
// name; taking opens again lets them through.
TEST_F(DeviceInterface, RefusedOpensWaitForThoseInProgress)
{
    Stack stack(L"ROOT\\REFUSE\\0");
    std::wstring link = Register(stack, kClass);
    plat::io::IoSetDeviceInterfaceState(link, true);

    plat::io::DeviceObject* top = plat::io::BeginOpen(link);
    ASSERT_EQ(top, &stack.function);
    std::atomic<bool> refused{false};
    std::thread remover([&] {
        plat::io::RefuseOpens(&stack.physical, true);
        refused = true;
    });
    // The remover cannot finish while the open is in progress; a new open is already refused.
    HANDLE handle = nullptr;
    while (plat::io::OpenByName(link, GENERIC_READ, KernelMode, true, 0, &handle) == STATUS_SUCCESS) {
        plat::ob::CloseHandle(handle, KernelMode);
        std::this_thread::yield();
    }
    EXPECT_FALSE(refused);
    plat::io::EndOpen(top);
    remover.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(Open(link, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    plat::io::RefuseOpens(&stack.physical, false);
    ASSERT_EQ(Open(link, &handle), STATUS_SUCCESS);
    EXPECT_EQ(plat::ob::CloseHandle(handle, KernelMode), STATUS_SUCCESS);
    plat::io::IoSetDeviceInterfaceState(link, false);
}

}  // namespace
}  // namespace tvrx::test
