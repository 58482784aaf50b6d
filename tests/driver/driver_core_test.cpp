// Driver load, device creation and unload; the framework and kernel rules they lean on.
#include "support/testbed.h"

#include <cstring>

#include "ntos/ex/pool.h"
#include "wdf/device.h"
#include "wpp/wpp.h"

namespace tvrx::test {
namespace {

// The provider's flags: 0x2 for every trace of the driver, 0x8 for the queue's own.
constexpr ULONG kFlagDriver = 0x2;
constexpr ULONG kFlagQueue = 0x8;
constexpr GUID kControlGuid = {0xA938B846, 0xC941, 0x4EE8, {0xAF, 0x74, 0xFE, 0x93, 0x5D, 0x2E, 0x5D, 0xA5}};

plat::wdf::FxDevice* Fx(WDFDEVICE device)
{
    return plat::wdf::ResolveAs<plat::wdf::FxDevice>(device, plat::wdf::FxType::Device, "test");
}

bool RecorderHas(UCHAR level, ULONG flags, const char* function)
{
    for (const plat::trace::Record& record : plat::trace::RecorderRecords()) {
        if (record.level == level && record.flags == flags && std::strcmp(record.function, function) == 0) {
            return true;
        }
    }
    return false;
}

class DriverCore : public Testbed {};

TEST_F(DriverCore, LoadAddUnloadTracesAndLeavesTheVerifierClean)
{
    LoadAndAdd();
    EXPECT_EQ(host->DeviceCount(), 1u);
    EXPECT_NE(plat::trace::RegistrationOf(kControlGuid), plat::trace::Registration::None);
    EXPECT_TRUE(RecorderHas(4, kFlagDriver, "DriverEntry"));
    EXPECT_TRUE(RecorderHas(4, kFlagDriver, "TavrixEvtDeviceAdd"));
    UnloadClean();
    EXPECT_EQ(plat::trace::RegistrationOf(kControlGuid), plat::trace::Registration::None);
}

TEST_F(DriverCore, TracingRegistersThroughWmiWhereTheClassicProviderIsMissing)
{
    machine->options().classicEtwProvider = false;
    LoadAndAdd();
    EXPECT_EQ(plat::trace::RegistrationOf(kControlGuid), plat::trace::Registration::Wmi);
    UnloadClean();
    EXPECT_EQ(plat::trace::RegistrationOf(kControlGuid), plat::trace::Registration::None);
}

TEST_F(DriverCore, FreshContextIsZeroButForTheLocksAndTheEmptyList)
{
    LoadAndAdd();
    debugview::Device view = debugview::ReadDeviceAtRest(Device());  // added, never started: nothing runs
    EXPECT_NE(view.clientListLock, nullptr);
    EXPECT_NE(view.modeReadLock, nullptr);
    EXPECT_NE(view.modeReadLock, view.clientListLock);
    EXPECT_TRUE(view.clients.empty());
    EXPECT_TRUE(view.clientListSound);
    // Byte for byte zero but the locks, the empty list head and the initialised (not signalled) event.
    EXPECT_TRUE(view.untouched);
}

TEST_F(DriverCore, FailedDriverCreationFailsTheLoadAndLeavesNoTracing)
{
    plat::fault::FailNth("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host->Loaded());
    EXPECT_EQ(plat::trace::RegistrationOf(kControlGuid), plat::trace::Registration::None);
    EXPECT_TRUE(RecorderHas(2, kFlagDriver, "DriverEntry"));
}

TEST_F(DriverCore, FailedInterfaceLeavesADeviceWithoutQueueAndTheAddSucceeds)
{
    plat::fault::FailNth("WdfDeviceCreateDeviceInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    LoadAndAdd();
    EXPECT_TRUE(Fx(Device())->interfaces.empty());
    EXPECT_EQ(Fx(Device())->defaultQueue, nullptr);
    EXPECT_EQ(plat::fault::Counts()["WdfIoQueueCreate"], 0u);
}

TEST_F(DriverCore, FailedQueueIsTracedWithTheQueueFlagAndTheAddSucceeds)
{
    plat::fault::FailNth("WdfIoQueueCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    LoadAndAdd();
    EXPECT_EQ(Fx(Device())->interfaces.size(), 1u);
    EXPECT_EQ(Fx(Device())->defaultQueue, nullptr);
    EXPECT_TRUE(RecorderHas(2, kFlagQueue, "TavrixQueueInitialize"));
}

TEST_F(DriverCore, FailedSpinLockFailsTheAddAndTheDeviceIsDeleted)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    plat::fault::FailNth("WdfSpinLockCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->DeviceCount(), 0u);
    EXPECT_TRUE(plat::wdf::LiveDevices().empty());
}

TEST_F(DriverCore, FailedDeviceCreationFailsTheAddWithoutTraces)
{
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    plat::fault::FailNth("WdfDeviceCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host->AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plat::fault::Counts()["WdfDeviceCreateDeviceInterface"], 0u);
    EXPECT_EQ(plat::fault::Counts()["WdfSpinLockCreate"], 0u);
}

TEST_F(DriverCore, UntaggedFrameworkMemoryCarriesTheDriverTag)
{
    LoadAndAdd();
    // The device already holds its notification gate under the driver's tag.
    size_t before = plat::pool::Outstanding()[debugview::DriverLimits().poolTag].allocations;
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &memory, &buffer), STATUS_SUCCESS);
    EXPECT_EQ(plat::pool::Outstanding()[debugview::DriverLimits().poolTag].allocations, before + 1);
    EXPECT_EQ(plat::pool::Outstanding().count(0), 0u);
    WdfObjectDelete(memory);
}

TEST_F(DriverCore, EachDeviceHasItsOwnContextLockAndList)
{
    LoadAndAdd();
    ASSERT_EQ(host->AddDevice(L"ACPI\\TVRX0001\\1"), STATUS_SUCCESS);
    // Distinct lock handles come from distinct contexts.
    EXPECT_NE(View(0).clientListLock, View(1).clientListLock);
    EXPECT_NE(View(0).modeReadLock, View(1).modeReadLock);
}

TEST_F(DriverCore, ASecondLoadStartsWithFreshDriverGlobals)
{
    // A first start exports the SAR table, which leaves the global at "current".
    Boot();
    ASSERT_EQ(debugview::ReadBiosSarState(*host), debugview::DriverLimits().sarStateCurrent);
    ASSERT_NE(debugview::DriverLimits().sarStateCurrent, 0u);
    UnloadClean();
    LoadAndAdd();
    EXPECT_EQ(debugview::ReadBiosSarState(*host), 0u);
}

// ---------------------------------------------------------------- rules that stop the system

class DriverCoreDeath : public Testbed {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Testbed::SetUp();
    }
};

TEST_F(DriverCoreDeath, ListPrimitivesStopOnACorruptedNeighbour)
{
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertHeadList(&head, &a);
    InsertHeadList(&head, &b);
    a.Blink = &head;  // b no longer points back consistently
    EXPECT_DEATH(RemoveEntryList(&b), "KERNEL_SECURITY_CHECK_FAILURE.*\n.*corrupted LIST_ENTRY");
    head.Flink->Blink = &a;
    EXPECT_DEATH(InsertHeadList(&head, &b), "corrupted LIST_ENTRY");
    a.Blink = &b;
    head.Flink->Blink = &head;
}

TEST_F(DriverCoreDeath, AFrameworkHandleUsedAfterDeletionStopsTheSystem)
{
    LoadAndAdd();
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &memory, nullptr), STATUS_SUCCESS);
    WdfObjectDelete(memory);
    EXPECT_DEATH(WdfMemoryGetBuffer(memory, nullptr), "WDF_VIOLATION.*\n.*deleted handle used");
}

TEST_F(DriverCoreDeath, AHandleOfTheWrongTypeStopsTheSystem)
{
    LoadAndAdd();
    EXPECT_DEATH(WdfMemoryGetBuffer((WDFMEMORY)Device(), nullptr), "wrong handle type");
}

TEST_F(DriverCoreDeath, PageableCodeAtDispatchLevelStopsTheSystem)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*pageable code at raised IRQL");
}

// A house rule of the driver: its lock is never held with another spin lock,
// whichever is taken first. Windows allows nested spin locks, so the rule
// holds only the lock the driver created (verifier_test shows other code's
// locks nest freely).
TEST_F(DriverCoreDeath, TheDriversLockWithAnotherSpinLockStopsTheSystem)
{
    LoadAndAdd();
    WDFSPINLOCK other;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &other), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(View().clientListLock);
            WdfSpinLockAcquire(other);
        },
        "spin lock order \\[house rule: .*\\]: a spin lock was acquired while the driver's is held");
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(other);
            WdfSpinLockAcquire(View().clientListLock);
        },
        "spin lock order \\[house rule: .*\\]: the driver's spin lock was acquired while another is held");
}

TEST_F(DriverCoreDeath, PoolUseUnderASpinLockStopsTheSystem)
{
    LoadAndAdd();
    EXPECT_DEATH(
        {
            WdfSpinLockAcquire(View().clientListLock);
            ExAllocatePoolWithTag(NonPagedPoolNx, 8, debugview::DriverLimits().poolTag);
        },
        "work under a spin lock");
}

}  // namespace
}  // namespace tvrx::test
