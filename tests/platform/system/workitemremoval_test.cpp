// Framework work items and the children of a device through the device's
// removal by the Plug and Play manager: a running item holds the removal and
// sends through the removed target, and children go oldest first.
#include <acpiioct.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/minidriver.h"
#include "support/playeddriver.h"
#include "wdf/workitem.h"

namespace tvrx::test {
namespace {

using plat::wdf::CurrentWorkItemLoad;

class WorkItems : public PlayedDriverBed {
protected:
    void SetUp() override
    {
        PlayedDriverBed::SetUp();
        ASSERT_NO_FATAL_FAILURE(LoadAndAdd());
    }
};

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
    WDFWORKITEM item = NewWorkItem(
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

}  // namespace
}  // namespace tvrx::test
