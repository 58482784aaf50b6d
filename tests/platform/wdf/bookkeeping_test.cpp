// The framework's bookkeeping is kept per thread (handle slots, memory
// objects kept for reuse): no handle is ever given to two live objects, and a
// stale handle never passes for a live one once its slot serves another.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <wdf.h>

#include "support/frameworkdriver.h"
#include "support/kernel.h"

namespace tvrx::test {
namespace {

// A driver object to make memory objects under.
class Bookkeeping : public KernelBed {
protected:
    void SetUp() override
    {
        KernelBed::SetUp();
        driver = std::make_unique<FrameworkDriver>();
    }
    void TearDown() override
    {
        driver.reset();
        KernelBed::TearDown();
    }

    std::unique_ptr<FrameworkDriver> driver;
};

// Two threads making and deleting memory objects at once, each keeping some
// alive: no handle is ever given to two live objects, and objects one thread
// made are deleted by another without a trace left for the verifier.
TEST_F(Bookkeeping, HandlesOfLiveObjectsStayDistinctAcrossThreadsMakingAndDeleting)
{
    constexpr size_t kKept = 300;
    std::vector<WDFMEMORY> kept[2];
    std::thread makers[2];
    for (size_t t = 0; t < 2; ++t) {
        makers[t] = std::thread([&, t] {
            for (size_t i = 0; i < 3000; ++i) {
                WDFMEMORY memory = nullptr;
                if (WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 24, &memory, nullptr) !=
                    STATUS_SUCCESS) {
                    return;
                }
                if (i % 10 == 0 && kept[t].size() < kKept) {
                    kept[t].push_back(memory);
                } else {
                    WdfObjectDelete(memory);
                }
            }
        });
    }
    for (std::thread& maker : makers) {
        maker.join();
    }
    std::set<WDFMEMORY> distinct;
    for (auto& list : kept) {
        ASSERT_EQ(list.size(), kKept);
        for (WDFMEMORY memory : list) {
            size_t size = 0;
            EXPECT_NE(WdfMemoryGetBuffer(memory, &size), nullptr);
            EXPECT_EQ(size, 24u);
            distinct.insert(memory);
        }
    }
    EXPECT_EQ(distinct.size(), 2 * kKept);
    // Each thread's objects are deleted by a thread that did not make them.
    std::thread deleter([&] {
        for (WDFMEMORY memory : kept[0]) WdfObjectDelete(memory);
    });
    deleter.join();
    for (WDFMEMORY memory : kept[1]) {
        WdfObjectDelete(memory);
    }
}

class BookkeepingDeath : public Bookkeeping {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Bookkeeping::SetUp();
    }
};

// A thread reuses the slots of the objects it deleted (after many others):
// the handle of a deleted object still stops the system once its slot and
// its memory object's storage serve a new object.
TEST_F(BookkeepingDeath, AStaleHandleStaysStaleAfterItsSlotIsReused)
{
    WDFMEMORY stale = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &stale, nullptr), STATUS_SUCCESS);
    WdfObjectDelete(stale);
    std::set<uintptr_t> slots;
    for (int i = 0; i < 5000; ++i) {
        WDFMEMORY memory = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 16, &memory, nullptr), STATUS_SUCCESS);
        slots.insert(reinterpret_cast<uintptr_t>(memory) & 0xFFFFFFFFu);  // the slot, without its generation
        WdfObjectDelete(memory);
    }
    EXPECT_TRUE(slots.count(reinterpret_cast<uintptr_t>(stale) & 0xFFFFFFFFu)) << "the slot was reused";
    EXPECT_LT(slots.size(), 5000u) << "slots are reused by the thread that freed them";
    EXPECT_DEATH(WdfMemoryGetBuffer(stale, nullptr), "WDF_VIOLATION.*\n.*deleted handle used");
}

}  // namespace
}  // namespace tvrx::test
