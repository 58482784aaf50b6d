// The verifier's rules on this driver's own code and lock: its routines that
// must run at PASSIVE_LEVEL are pageable, its instance list is checked as it
// is unlinked, and its house rules hold its image's code and lock only. The
// rules themselves, broken by a driver the platform's tests play, are tested
// there (tests/platform/system/verifier_test.cpp, ntos/poolrules_test.cpp);
// rules with a home elsewhere: request completion (dispatch), deleted and
// mistyped handles, pageable code, a second spin lock, pool under a lock and
// list primitives (driver core), waits and KeSetEvent at DISPATCH_LEVEL and
// released references (objects), file calls (drive), mapping (physical
// memory), synchronous sends (ACPI).
#include "support/client.h"

#include <wdmguid.h>

#include "acpi/interface.h"
#include "ntos/ke/irql.h"
#include "base/verifier.h"
#include "wdf/device.h"

namespace tvrx::test {
namespace {

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

TEST_F(VerifierStops, HandleLookupAndPassiveOnlyDriverRoutinesAtDispatchLevel)
{
    // What the notification handler must hand to its work item: the _DSM read
    // and the registration both need PASSIVE_LEVEL. (The registration's handle
    // lookup at DISPATCH_LEVEL: the platform's VerifierStops.HandleLookupAtDispatchLevel.)
    Boot();
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

}  // namespace
}  // namespace tvrx::test
