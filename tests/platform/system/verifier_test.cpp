// The verifier's rules around a bound driver, each broken on purpose: what a
// driver leaves behind is named in the unload report, and what it does wrong
// at run time stops the system with a readable reason. Pool handed back
// wrongly: ntos/poolrules_test.cpp.
#include <gmock/gmock.h>

#include <windows.h>

#include "acpi/acpidevice.h"
#include "acpi/interface.h"
#include "base/verifier.h"
#include "firmware/native.h"
#include "ntos/ke/irql.h"
#include "support/minidriver.h"
#include "support/playeddriver.h"
#include "um/client.h"

namespace tvrx::test {
namespace {

using ::testing::HasSubstr;

constexpr ULONG kOtherTag = 0x74676154;  // "Tagt"

// A manual-reset event of the process, not set.
HANDLE NewEvent(plat::um::Process& process)
{
    return process.Run([] { return CreateEventW(nullptr, TRUE, FALSE, nullptr); });
}

// A new event of the process and, in *object, a reference on it taken as a
// driver takes one for a user-mode caller (which must succeed).
HANDLE NewReferencedEvent(plat::um::Process& process, PVOID* object)
{
    HANDLE event = NewEvent(process);
    EXPECT_EQ(process.Run([&] {
        return ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, object, nullptr);
    }),
              STATUS_SUCCESS);
    return event;
}

// The ACPI driver's standard interface for the device, with a reference the caller gives back.
NTSTATUS QueryAcpiInterface(WDFDEVICE device, ACPI_INTERFACE_STANDARD2* acpi)
{
    return WdfFdoQueryForInterface(device, &GUID_ACPI_INTERFACE_STANDARD2, reinterpret_cast<PINTERFACE>(acpi),
                                   sizeof *acpi, plat::acpi::kStandardInterface2Version, nullptr);
}

// ---------------------------------------------------------------- what unload reports

class VerifierReports : public PlayedDriverBed {
protected:
    // The findings of an unload, which must also be the report kept as the last one.
    std::string UnloadFindings()
    {
        std::string text = host->Unload().Text();
        EXPECT_EQ(plat::verifier::LastUnloadReport().Text(), text);
        return text;
    }

    // A clean load and unload: the framework's list of objects left behind is
    // taken afresh at every unload, so this clears the findings of the last.
    void CleanCycle()
    {
        LoadAndAdd();
        UnloadClean();
    }
};

TEST_F(VerifierReports, PoolNotFreedIsNamedByTag)
{
    LoadAndAdd();
    PVOID copy = ExAllocatePoolWithTag(PagedPool, 30, PlayedDriver::kPoolTag);
    PVOID transfer = ExAllocatePoolWithTag(NonPagedPoolNx, 1024, kOtherTag);

    std::string findings = UnloadFindings();
    EXPECT_THAT(findings, HasSubstr("pool: 1 allocation(s), 30 bytes with tag 'Plyd' not freed"));
    EXPECT_THAT(findings, HasSubstr("pool: 1 allocation(s), 1024 bytes with tag 'Tagt' not freed"));
    // Each finding names its rule's source.
    EXPECT_THAT(findings, HasSubstr("not freed [Driver Verifier: Pool tracking]"));

    ExFreePoolWithTag(copy, PlayedDriver::kPoolTag);
    ExFreePoolWithTag(transfer, kOtherTag);
}

TEST_F(VerifierReports, FrameworkObjectsLeftForUnloadAreNamed)
{
    // Objects parented to the driver and never deleted are found when the
    // framework deletes the driver's children at unload.
    Boot();
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 24, &memory, nullptr), STATUS_SUCCESS);
    WDFKEY key;
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(WdfDeviceGetDriver(Device()), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES,
                                                 &key),
              STATUS_SUCCESS);
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);

    std::string findings = UnloadFindings();
    EXPECT_THAT(findings, HasSubstr("framework object left for unload to delete: WDFMEMORY"));
    EXPECT_THAT(findings, HasSubstr("framework object left for unload to delete: WDFKEY"));
    EXPECT_THAT(findings, HasSubstr("framework object left for unload to delete: WDFSTRING"));
    EXPECT_THAT(findings, ::testing::ContainsRegex("WDFSTRING.*\\[KMDF verifier: [^]]+\\]"));
    EXPECT_THAT(findings, ::testing::Not(HasSubstr("pool:"))) << "the framework freed their memory";

    CleanCycle();
}

TEST_F(VerifierReports, ObjectReferencesAndKernelHandlesStillHeldAreNamed)
{
    Boot();
    plat::um::Process client("clientA");
    PVOID object = nullptr;
    HANDLE event = NewReferencedEvent(client, &object);
    ASSERT_NE(object, nullptr);
    client.Run([&] { CloseHandle(event); });  // the reference keeps the event alive

    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\??\\C:\\left-open.bin");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK io;
    HANDLE file = nullptr;
    ASSERT_EQ(ZwCreateFile(&file, GENERIC_WRITE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                           FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);

    std::string findings = UnloadFindings();
    EXPECT_THAT(findings, HasSubstr("object reference not released: Event"));
    EXPECT_THAT(findings, HasSubstr("kernel handle not closed"));

    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(VerifierReports, InterfaceReferencesAndHandlersLeftWithTheAcpiDriverAreNamed)
{
    // A query that is never given back, and a handler registered on a device
    // that was never started (so the driver registered none of its own).
    LoadAndAdd();
    ACPI_INTERFACE_STANDARD2 acpi{};
    ASSERT_EQ(QueryAcpiInterface(Device(), &acpi), STATUS_SUCCESS);
    ASSERT_EQ(acpi.RegisterForDeviceNotifications(
                  acpi.Context, [](PVOID, ULONG) {}, nullptr),
              STATUS_SUCCESS);

    std::string findings = UnloadFindings();
    EXPECT_THAT(findings, HasSubstr("1 reference(s) not given back with InterfaceDereference"));
    EXPECT_THAT(findings, HasSubstr("removed with a device-notification handler still registered"));

    acpi.InterfaceDereference(acpi.Context);
    CleanCycle();  // a new first device lets the ACPI driver forget the removed one
}

// ---------------------------------------------------------------- rules that stop the system

class VerifierStops : public PlayedDriverBed {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        PlayedDriverBed::SetUp();
    }
};

TEST_F(VerifierStops, PageablePoolAboveApcLevel)
{
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 16, PlayedDriver::kPoolTag);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*ExAllocatePoolWithTag called at IRQL 2, above its maximum 1");
    LoadAndAdd();
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            WDFMEMORY memory;
            WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, 0, 16, &memory, nullptr);
        },
        "WdfMemoryCreate called at IRQL 2");
    // Freeing is held to the same rule: a string in paged pool.
    UNICODE_STRING text;
    text.Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 16, PlayedDriver::kPoolTag));
    ASSERT_NE(text.Buffer, nullptr);
    text.Length = 0;
    text.MaximumLength = 16;
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            RtlFreeUnicodeString(&text);
        },
        "ExFreePool called at IRQL 2");
    RtlFreeUnicodeString(&text);
}

TEST_F(VerifierStops, HandleLookupAtDispatchLevel)
{
    Boot();
    plat::um::Process client("clientA");
    HANDLE event = NewEvent(client);
    EXPECT_DEATH(client.Run([&] {
        plat::IrqlScope raised(DISPATCH_LEVEL);
        PVOID object;
        ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr);
    }),
                 "ObReferenceObjectByHandle called at IRQL 2");
    client.Run([&] { CloseHandle(event); });
}

TEST_F(VerifierStops, SpinLockAcquiredTwiceOrReleasedByANonOwner)
{
    LoadAndAdd();
    WDFSPINLOCK lock = PlayedDriver::Lock();
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(lock);
            WdfSpinLockAcquire(lock);
        },
        "SPIN_LOCK_ALREADY_OWNED.*\n.*already holds");
    EXPECT_DEATH(WdfSpinLockRelease(lock), "spin lock release.*does not hold");
}

// A reference released under the driver's own lock breaks a house rule
// (nothing is dereferenced while it is held).
TEST_F(VerifierStops, ReferenceReleasedUnderTheInstanceLock)
{
    Boot();
    plat::um::Process client("clientA");
    PVOID object = nullptr;
    HANDLE event = NewReferencedEvent(client, &object);
    ASSERT_NE(object, nullptr);
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(PlayedDriver::Lock());
            ObDereferenceObject(object);
        },
        "work under a spin lock.*ObfDereferenceObject");
    ObDereferenceObject(object);
    client.Run([&] { CloseHandle(event); });
}

TEST_F(VerifierStops, CallbacksReturningHoldingASpinLock)
{
    // Every callback must give back the IRQL it was called at.
    MiniDriver driver;
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    driver.control = [lock](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfSpinLockAcquire(lock);
    };
    plat::um::Process process("client");
    HANDLE device = nullptr;
    ASSERT_EQ(process.Run([&] { return plat::um::OpenDevice(driver.Path(), GENERIC_READ, &device); }), STATUS_SUCCESS);
    EXPECT_DEATH(process.Run([&] {
        ULONG_PTR information;
        plat::um::IoControl(device, 0x220004, nullptr, 0, nullptr, 0, &information);
    }),
                 "EvtIoDeviceControl returned at IRQL 2 holding a spin lock");
    process.Run([&] { CloseHandle(device); });
}

// A stop names the rule broken, its kind and its source: a Driver Verifier
// option, the WDF_VIOLATION code of the KMDF verifier, or a house rule of
// the driver (docs/verifier.md lists them all).
TEST_F(VerifierStops, AStopNamesItsRuleKindAndSource)
{
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 16, PlayedDriver::kPoolTag);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*verifier: IRQL \\[Driver Verifier: IRQL checking\\]: "
        "ExAllocatePoolWithTag");
    LoadAndAdd();
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &memory, nullptr), STATUS_SUCCESS);
    WdfObjectDelete(memory);
    EXPECT_DEATH(WdfMemoryGetBuffer(memory, nullptr),
                 "WDF_VIOLATION.*\n.*deleted handle used \\[KMDF verifier: WDF_INVALID_HANDLE\\]");
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(PlayedDriver::Lock());
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, PlayedDriver::kPoolTag);
        },
        "work under a spin lock \\[house rule: nothing is allocated, freed or dereferenced while the driver's "
        "lock is held\\]: ExAllocatePoolWithTag");
}

// The driver's lock, held by whatever callback the test installs in place of the driver's.
WDFSPINLOCK g_heldLock = nullptr;

TEST_F(VerifierStops, PowerCallbacksAndTheNotificationHandlerReturningHoldingASpinLock)
{
    LoadAndAdd();
    g_heldLock = PlayedDriver::Lock();
    auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test");
    EXPECT_DEATH(
        {
            fx->pnpPower.EvtDeviceD0Entry = [](WDFDEVICE, WDF_POWER_DEVICE_STATE) {
                WdfSpinLockAcquire(g_heldLock);
                return STATUS_SUCCESS;
            };
            host->Start();
        },
        "EvtDeviceD0Entry returned at IRQL 2 holding a spin lock");

    ACPI_INTERFACE_STANDARD2 acpi{};
    ASSERT_EQ(QueryAcpiInterface(Device(), &acpi), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            acpi.RegisterForDeviceNotifications(
                acpi.Context, [](PVOID, ULONG) { WdfSpinLockAcquire(g_heldLock); }, nullptr);
            machine->Firmware().Notify(plat::NativeFirmware::kDevicePath, 0x80);
            host->Below()->WaitNotificationsIdle();
        },
        "device-notification handler returned at IRQL 2 holding a spin lock");
    acpi.InterfaceDereference(acpi.Context);
}

}  // namespace
}  // namespace tvrx::test
