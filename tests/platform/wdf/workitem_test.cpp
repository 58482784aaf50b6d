// Framework work items as KMDF's FxWorkItem has them: deletion waits for a
// queued item to run, any object under a device may be the parent, and a
// flush from the item's own callback returns.
#include "support/testbed.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using plat::wdf::CurrentWorkItemLoad;
using plat::wdf::kSystemWorkerThreads;

class WorkItems : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        ASSERT_NO_FATAL_FAILURE(LoadAndAdd());
        runs = 0;
    }

    WDFWORKITEM Create(PFN_WDF_WORKITEM callback, WDFOBJECT parent, NTSTATUS expected = STATUS_SUCCESS)
    {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, callback);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), expected);
        return item;
    }

    // Keeps every system worker thread busy until Release.
    void OccupyWorkers()
    {
        busy = 0;
        release = false;
        for (size_t i = 0; i < kSystemWorkerThreads; ++i) {
            WdfWorkItemEnqueue(Create(
                [](WDFWORKITEM) {
                    busy++;
                    while (!release) {
                        std::this_thread::yield();
                    }
                },
                Device()));
        }
        while (busy < int(kSystemWorkerThreads)) {
            std::this_thread::yield();
        }
    }
    static void Release() { release = true; }

    static VOID Count(WDFWORKITEM) { runs++; }

    static inline std::atomic<int> runs{0};
    static inline std::atomic<int> busy{0};
    static inline std::atomic<bool> release{false};
};

// FxWorkItem::Dispose waits for an outstanding item: deleting one that still
// waits for a worker thread lets it run first, and only then is it gone.
TEST_F(WorkItems, DeletingAQueuedItemRunsItFirst)
{
    OccupyWorkers();
    WDFWORKITEM item = Create(Count, Device());
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);  // already waiting: one run
    ASSERT_EQ(CurrentWorkItemLoad().queued, 1u);

    std::thread deleter([item] { WdfObjectDelete(item); });
    while (CurrentWorkItemLoad().waiting == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(CurrentWorkItemLoad().queued, 1u) << "the deletion dropped the queued item";
    Release();
    deleter.join();
    EXPECT_EQ(runs, 1);
}

// FxWorkItem::Initialize takes the device from the parent's ancestors: any
// object under a device may parent a work item (here a memory object of the
// device), which then goes with it. A parent that has no device above it (an
// object of the driver) is refused with STATUS_INVALID_DEVICE_REQUEST.
TEST_F(WorkItems, AnyObjectUnderTheDeviceIsAParent)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device();
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 0, 16, &memory, nullptr), STATUS_SUCCESS);

    WDFWORKITEM item = Create(Count, memory);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(WdfWorkItemGetParentObject(item), memory);
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 1);

    // Queued again and deleted with its parent: it runs before it goes.
    OccupyWorkers();
    WdfWorkItemEnqueue(item);
    std::thread deleter([memory] { WdfObjectDelete(memory); });
    while (CurrentWorkItemLoad().waiting == 0) {
        std::this_thread::yield();
    }
    Release();
    deleter.join();
    EXPECT_EQ(runs, 2);

    WDFMEMORY driverMemory;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &driverMemory, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Create(Count, driverMemory, STATUS_INVALID_DEVICE_REQUEST), nullptr);
    WdfObjectDelete(driverMemory);
}

// FxWorkItem::FlushAndWait returns at once when called from the item's own
// callback (waiting would be for itself); a flush from elsewhere waits for
// the run, including the one the callback queued again.
TEST_F(WorkItems, FlushFromItsOwnCallbackReturns)
{
    WDFWORKITEM item = Create(
        [](WDFWORKITEM self) {
            WdfWorkItemFlush(self);
            if (++runs == 1) {
                WdfWorkItemEnqueue(self);
            }
        },
        Device());
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 2);

    // An item that deletes itself from its own callback does not wait for itself either.
    WDFWORKITEM self = Create(
        [](WDFWORKITEM me) {
            WdfObjectDelete(me);
            runs++;
        },
        Device());
    WdfWorkItemEnqueue(self);
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)));
    EXPECT_EQ(runs, 3);
    WdfObjectDelete(item);
}

// The device's default I/O target is made with the device and so disposed of
// before its work items (KMDF disposes of children oldest first). A work item
// still running when its device is removed (the removal waits for it) sends
// through that target, removed but still there until the device is
// destroyed, and is refused as a send to KMDF's deleted target is
// (STATUS_INVALID_DEVICE_STATE, FxIoTarget::SubmitLocked).
TEST_F(WorkItems, ARunningItemSendsThroughTheRemovedTargetOfItsDevice)
{
    static std::atomic<bool> holding;
    static std::atomic<bool> proceed;
    static std::atomic<NTSTATUS> sent;
    holding = false;
    proceed = false;
    sent = STATUS_PENDING;
    WDFWORKITEM item = Create(
        [](WDFWORKITEM self) {
            WDFIOTARGET target = WdfDeviceGetIoTarget(static_cast<WDFDEVICE>(WdfWorkItemGetParentObject(self)));
            holding = true;
            while (!proceed) {
                std::this_thread::yield();
            }
            sent = WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_ACPI_EVAL_METHOD, nullptr, nullptr,
                                                     nullptr, nullptr);
        },
        Device());
    ASSERT_NE(WdfDeviceGetIoTarget(Device()), nullptr);
    WdfWorkItemEnqueue(item);
    while (!holding) {
        std::this_thread::yield();
    }

    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = host->Remove(); });
    while (CurrentWorkItemLoad().waiting == 0) {
        std::this_thread::yield();  // the removal waits for the running item
    }
    proceed = true;
    remover.join();
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(sent.load(), STATUS_INVALID_DEVICE_STATE);
}

// A device's children are disposed of oldest first (KMDF walks the child
// list from its head and adds children at its tail: fxobjectstatemachine.cpp,
// fxobject.cpp), every cleanup before any destroy, and a child disposed of
// stays there until the whole tree is: a later sibling's cleanup still
// reaches it through its handle.
TEST_F(WorkItems, ADevicesChildrenAreDisposedOfOldestFirstAndDestroyedAfterAll)
{
    static std::vector<std::string> log;
    static WDFMEMORY first;
    log.clear();
    auto make = [this](PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup, PFN_WDF_OBJECT_CONTEXT_DESTROY destroy) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Device();
        attributes.EvtCleanupCallback = cleanup;
        attributes.EvtDestroyCallback = destroy;
        WDFMEMORY memory = nullptr;
        EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, 0x74736554, 8, &memory, nullptr), STATUS_SUCCESS);
        return memory;
    };
    first = make([](WDFOBJECT) { log.push_back("cleanup 1"); }, [](WDFOBJECT) { log.push_back("destroy 1"); });
    make([](WDFOBJECT) { log.push_back("cleanup 2"); }, [](WDFOBJECT) { log.push_back("destroy 2"); });
    make(
        [](WDFOBJECT) {
            size_t size = 0;
            WdfMemoryGetBuffer(first, &size);
            log.push_back("cleanup 3 sees " + std::to_string(size));
        },
        [](WDFOBJECT) { log.push_back("destroy 3"); });
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(log, (std::vector<std::string>{"cleanup 1", "cleanup 2", "cleanup 3 sees 8", "destroy 1", "destroy 2",
                                             "destroy 3"}));
}

// A work item that returns at a raised IRQL stops the system as Windows'
// system worker thread does: WORKER_THREAD_RETURNED_AT_BAD_IRQL.
class WorkItemsDeath : public WorkItems {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        WorkItems::SetUp();
    }
};

TEST_F(WorkItemsDeath, ReturningAtARaisedIrqlStopsTheSystem)
{
    EXPECT_DEATH(
        {
            WdfWorkItemEnqueue(Create(
                [](WDFWORKITEM) {
                    KIRQL old;
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                },
                Device()));
            plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
        },
        "STOP: 0x000000E1.*\n.*WORKER_THREAD_RETURNED_AT_BAD_IRQL");
}

}  // namespace
}  // namespace tvrx::test
