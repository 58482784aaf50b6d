// Framework work items as KMDF's FxWorkItem has them: deletion waits for a
// queued item to run, any object under a device may be the parent, and a
// flush from the item's own callback returns.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel.h"
#include "support/minidriver.h"
#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using plat::wdf::CurrentWorkItemLoad;
using plat::wdf::kSystemWorkerThreads;

// A device of a driver the test plays, to parent the items.
class WorkItems : public KernelBed {
protected:
    void SetUp() override
    {
        KernelBed::SetUp();
        driver = std::make_unique<MiniDriver>();
        runs = 0;
    }

    void TearDown() override
    {
        driver.reset();
        KernelBed::TearDown();
    }

    WDFDEVICE Device() const { return driver->Device(); }

    WDFWORKITEM Create(PFN_WDF_WORKITEM callback, WDFOBJECT parent, NTSTATUS expected = STATUS_SUCCESS)
    {
        return NewWorkItem(callback, parent, expected);
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

    std::unique_ptr<MiniDriver> driver;
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

// System worker threads wait on a kernel queue, which releases its waiting
// threads last in, first out (as an I/O completion port does): the worker
// that finished last, whose caches are warm, runs the next item.
TEST_F(WorkItems, TheWorkerThatWaitedLastRunsTheNextItem)
{
    OccupyWorkers();  // every worker has started, and then waits
    Release();
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)));
    static std::thread::id ranOn;
    WDFWORKITEM item = Create([](WDFWORKITEM) { ranOn = std::this_thread::get_id(); }, Device());
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    std::thread::id first = ranOn;
    for (int i = 0; i < 20; ++i) {
        WdfWorkItemEnqueue(item);
        WdfWorkItemFlush(item);
        ASSERT_EQ(ranOn, first) << "run " << i << " woke a worker that had waited longer";
    }
    WdfObjectDelete(item);
}

// A test's hold on the workers keeps queued items waiting, however many
// workers sleep meanwhile; its end wakes them and the items run.
TEST_F(WorkItems, ItemsQueuedUnderAHoldRunWhenItEnds)
{
    OccupyWorkers();  // every worker has started, and then waits
    Release();
    ASSERT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)));
    WDFWORKITEM item = Create(Count, Device());
    {
        plat::wdf::WorkerHold hold;
        WdfWorkItemEnqueue(item);
        EXPECT_EQ(CurrentWorkItemLoad().queued, 1u);
        EXPECT_EQ(runs, 0);
    }
    EXPECT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)));
    EXPECT_EQ(runs, 1);
    WdfObjectDelete(item);
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
