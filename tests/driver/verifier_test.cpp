// The verifier's rules, each broken on purpose: what a driver leaves behind is
// named in the unload report, and what it does wrong at run time stops the
// system with a readable reason. Rules with a home elsewhere are tested there:
// request completion (dispatch), deleted and mistyped handles, pageable code,
// a second spin lock, pool under a lock and list primitives (driver core),
// waits and KeSetEvent at DISPATCH_LEVEL and released references (objects),
// file calls (drive), mapping (physical memory), synchronous sends (ACPI).
#include "support/client.h"
#include "firmware/native.h"
#include "support/firmware_path.h"
#include "platform/support/minidriver.h"

#include <gmock/gmock.h>
#include <wdmguid.h>

#include "acpi/interface.h"
#include "ntos/ex/pool.h"
#include "ntos/ke/irql.h"
#include "base/verifier.h"

namespace tvrx::test {
namespace {

using ::testing::HasSubstr;

// A reference on the event a client's handle names, taken as a driver takes
// one for a user-mode caller.
NTSTATUS ReferenceEvent(Client& client, HANDLE event, PVOID* object)
{
    return client.process.Run(
        [&] { return ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, object, nullptr); });
}

// The ACPI driver's standard interface for the device, with a reference the caller gives back.
NTSTATUS QueryAcpiInterface(WDFDEVICE device, ACPI_INTERFACE_STANDARD2* acpi)
{
    return WdfFdoQueryForInterface(device, &GUID_ACPI_INTERFACE_STANDARD2, reinterpret_cast<PINTERFACE>(acpi),
                                   sizeof *acpi, plat::acpi::kStandardInterface2Version, nullptr);
}

// ---------------------------------------------------------------- what unload reports

class VerifierReports : public ClientBed {
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
    // The caller of TvrxReadParameterString owns the copy it returns; forgetting
    // to free it is a leak of the driver's tag.
    machine->Registry().SetString(kSarServiceKey, L"BiosInfo", L"TVRX-FW 1.07.2");
    LoadAndAdd();
    UNICODE_STRING text;
    ASSERT_EQ(debugview::ReadParameterString(*host, Device(), L"SARService", L"BiosInfo", &text), STATUS_SUCCESS);
    PVOID transfer = ExAllocatePoolWithTag(NonPagedPoolNx, 1024, debugview::DriverLimits().sarPoolTag);

    std::string findings = UnloadFindings();
    EXPECT_THAT(findings, HasSubstr("pool: 1 allocation(s), " + std::to_string(text.MaximumLength) +
                                    " bytes with tag 'Tvrx' not freed"));
    EXPECT_THAT(findings, HasSubstr("pool: 1 allocation(s), 1024 bytes with tag 'Tagt' not freed"));
    // Each finding names its rule's source.
    EXPECT_THAT(findings, HasSubstr("not freed [Driver Verifier: Pool tracking]"));

    RtlFreeUnicodeString(&text);
    ExFreePoolWithTag(transfer, debugview::DriverLimits().sarPoolTag);
}

TEST_F(VerifierReports, FrameworkObjectsLeftForUnloadAreNamed)
{
    // A _DSM result belongs to the caller; one never deleted is found when the
    // framework deletes the driver's children at unload, as are a key and a string.
    Boot();
    WDFMEMORY response = nullptr;
    ASSERT_EQ(debugview::EvaluateDsm(*host, Device(), plat::NativeFirmware::kDeviceMode, 0, &response),
              STATUS_SUCCESS);
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
    Client client("clientA");
    HANDLE event = client.NewEvent();
    PVOID object = nullptr;
    ASSERT_EQ(ReferenceEvent(client, event, &object), STATUS_SUCCESS);
    client.CloseObject(event);  // the reference keeps the event alive

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
    // A second query that is never given back, and a handler registered on a
    // device that was never started (so the driver registered none of its own).
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

class VerifierStops : public ClientBed {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ClientBed::SetUp();
    }

    // Code of the driver's image: its D0 entry callback, as the framework holds it.
    const void* DriverCallback()
    {
        auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test");
        return reinterpret_cast<const void*>(fx->pnpPower.EvtDeviceD0Entry);
    }
};

TEST_F(VerifierStops, PageablePoolAboveApcLevel)
{
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 16, debugview::DriverLimits().poolTag);
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
    // Freeing is held to the same rule: the string the registry query allocated is paged.
    machine->Registry().SetString(kSarServiceKey, L"BiosInfo", L"TVRX-FW 1.07.2");
    UNICODE_STRING text;
    ASSERT_EQ(debugview::ReadParameterString(*host, Device(), L"SARService", L"BiosInfo", &text), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            RtlFreeUnicodeString(&text);
        },
        "ExFreePool called at IRQL 2");
    RtlFreeUnicodeString(&text);
}

// Pool handed back wrongly: with another tag than it was allocated with, or
// twice (a sanitizer may see the second free's read of the freed block first).
TEST_F(VerifierStops, PoolFreedWithAnotherTagOrTwice)
{
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, debugview::DriverLimits().poolTag);
            ExFreePoolWithTag(block, debugview::DriverLimits().sarPoolTag);
        },
        "BAD_POOL_CALLER.*\n.*ExFreePoolWithTag with tag Tagt of memory tagged Tvrx");
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, debugview::DriverLimits().poolTag);
            ExFreePoolWithTag(block, debugview::DriverLimits().poolTag);
            ExFreePoolWithTag(block, debugview::DriverLimits().poolTag);
        },
        "ExFreePoolWithTag of an address that is not allocated|heap-use-after-free");
    // Blocks freed as allocated leave nothing behind.
    auto outstanding = [] {
        auto all = plat::pool::Outstanding();
        auto it = all.find(debugview::DriverLimits().poolTag);
        return it == all.end() ? plat::pool::TagUsage{} : it->second;
    };
    plat::pool::TagUsage before = outstanding();
    PVOID block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, debugview::DriverLimits().poolTag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    EXPECT_EQ(static_cast<unsigned char*>(block)[99], 0u);
    EXPECT_EQ(outstanding().bytes, before.bytes + 100);
    EXPECT_EQ(outstanding().allocations, before.allocations + 1);
    ExFreePool(block);
    EXPECT_EQ(outstanding().bytes, before.bytes);
}

TEST_F(VerifierStops, HandleLookupAndPassiveOnlyDriverRoutinesAtDispatchLevel)
{
    Boot();
    Client client("clientA");
    HANDLE event = client.NewEvent();
    EXPECT_DEATH(client.process.Run([&] {
        plat::IrqlScope raised(DISPATCH_LEVEL);
        PVOID object;
        ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr);
    }),
                 "ObReferenceObjectByHandle called at IRQL 2");
    // What the notification handler must hand to its work item: the _DSM read
    // and the registration both need PASSIVE_LEVEL.
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            debugview::EvaluateDsmFunction(*host, Device(), plat::NativeFirmware::kDeviceMode);
        },
        "pageable code at raised IRQL");
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            ULONG state = 0;
            debugview::WriteParameterValue(*host, Device(), L"SARService", L"BiosSarState", REG_DWORD, &state, 4);
        },
        "pageable code at raised IRQL");
    client.CloseObject(event);
}

TEST_F(VerifierStops, SpinLockAcquiredTwiceOrReleasedByANonOwner)
{
    LoadAndAdd();
    WDFSPINLOCK lock = View().clientListLock;
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(lock);
            WdfSpinLockAcquire(lock);
        },
        "SPIN_LOCK_ALREADY_OWNED.*\n.*already holds");
    EXPECT_DEATH(WdfSpinLockRelease(lock), "spin lock release.*does not hold");
}

TEST_F(VerifierStops, ReferenceReleasedUnderTheInstanceLock)
{
    // The registration releases a replaced event only after the lock: this is why.
    Boot();
    Client client("clientA");
    HANDLE event = client.NewEvent();
    PVOID object = nullptr;
    ASSERT_EQ(ReferenceEvent(client, event, &object), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(View().clientListLock);
            ObDereferenceObject(object);
        },
        "work under a spin lock.*ObfDereferenceObject");
    ObDereferenceObject(object);
    client.CloseObject(event);
}

TEST_F(VerifierStops, ACorruptedInstanceListStopsTheClosingClient)
{
    Boot();
    Client first("first");
    Client second("second");
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(), STATUS_SUCCESS);
    // The second client's node is at the head; a stray write makes its
    // successor (the first client's node) stop pointing back.
    // The debug view reads such a list as unsound instead of walking it blindly.
    debugview::PokeInstanceBackLink(Device(), 1, true);
    EXPECT_FALSE(View().clientListSound);
    debugview::PokeInstanceBackLink(Device(), 1, false);
    EXPECT_TRUE(View().clientListSound);
    EXPECT_EQ(View().appInstances, 2u);
    EXPECT_DEATH(
        {
            debugview::PokeInstanceBackLink(Device(), 1, true);
            second.Close();
        },
        "KERNEL_SECURITY_CHECK_FAILURE.*\n.*corrupted LIST_ENTRY");
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
// this driver (docs/verifier.md lists them all).
TEST_F(VerifierStops, AStopNamesItsRuleKindAndSource)
{
    EXPECT_DEATH(
        {
            plat::IrqlScope raised(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 16, debugview::DriverLimits().poolTag);
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
            WdfSpinLockAcquire(View().clientListLock);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, debugview::DriverLimits().poolTag);
        },
        "work under a spin lock \\[house rule: nothing is allocated, freed or dereferenced while the driver's "
        "lock is held\\]: ExAllocatePoolWithTag");
}

// House rules are the driver's promises about its own lock; Windows lets any
// driver nest spin locks (in a consistent order) and use nonpaged pool and
// ObDereferenceObject at DISPATCH_LEVEL. So code that is not the driver's,
// here the test's own locks while the driver is loaded, does all of that
// without a stop, and only the lock the driver's image created is held to them.
TEST_F(VerifierStops, HouseRulesDoNotStopWhatWindowsAllowsCodeThatIsNotTheDrivers)
{
    Boot();
    ASSERT_TRUE(plat::verifier::IsHouseCode(DriverCallback()));
    EXPECT_FALSE(plat::verifier::IsHouseCode(reinterpret_cast<const void*>(&QueryAcpiInterface)));
    Client client("clientA");
    HANDLE event = client.NewEvent();
    PVOID object = nullptr;
    ASSERT_EQ(ReferenceEvent(client, event, &object), STATUS_SUCCESS);
    client.CloseObject(event);  // the reference keeps the event alive

    WDFSPINLOCK outer, inner;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &outer), STATUS_SUCCESS);
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &inner), STATUS_SUCCESS);
    WdfSpinLockAcquire(outer);
    WdfSpinLockAcquire(inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, debugview::DriverLimits().poolTag);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, debugview::DriverLimits().poolTag);
    ObDereferenceObject(object);  // the last reference: the event goes, at DISPATCH_LEVEL
    WdfSpinLockRelease(inner);
    WdfSpinLockRelease(outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // The rules Windows does have still hold for that code: paged pool at DISPATCH_LEVEL stops.
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(outer);
            ExAllocatePoolWithTag(PagedPool, 8, debugview::DriverLimits().poolTag);
        },
        "IRQL \\[Driver Verifier: IRQL checking\\]: ExAllocatePoolWithTag called at IRQL 2");
    WdfObjectDelete(inner);
    WdfObjectDelete(outer);

    // The image's code is the driver's only while the host has it loaded.
    const void* routine = DriverCallback();
    UnloadClean();
    EXPECT_FALSE(plat::verifier::IsHouseCode(routine));
}

// The driver's lock, held by whatever callback the test installs in place of the driver's.
WDFSPINLOCK g_heldLock = nullptr;

TEST_F(VerifierStops, PowerCallbacksAndTheNotificationHandlerReturningHoldingASpinLock)
{
    LoadAndAdd();
    g_heldLock = View().clientListLock;
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
            plat::acpi::DeviceBelow(fx->lower)->WaitNotificationsIdle();
        },
        "device-notification handler returned at IRQL 2 holding a spin lock");
    acpi.InterfaceDereference(acpi.Context);
}

}  // namespace
}  // namespace tvrx::test
