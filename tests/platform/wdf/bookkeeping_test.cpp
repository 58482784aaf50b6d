// The platform's bookkeeping is kept per thread (pool counts, framework
// handle slots, small pool blocks and memory objects kept for reuse): what a
// thread counts or keeps must still add up across threads, outlive the
// thread, and never let a stale handle or a freed block pass for a live one.
#include "support/testbed.h"

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "ntos/ex/pool.h"

namespace tvrx::test {
namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

plat::pool::TagUsage Usage(const std::map<ULONG, plat::pool::TagUsage>& all)
{
    auto it = all.find(kTag);
    return it == all.end() ? plat::pool::TagUsage{} : it->second;
}

class Bookkeeping : public Testbed {};

// Allocated on some threads, freed on others, some by a thread that has
// ended since: the counts of the tag add up whoever counted them.
TEST_F(Bookkeeping, PoolCountsAddUpAcrossThreadsThatAllocateFreeAndEnd)
{
    plat::pool::TagUsage totalBefore = Usage(plat::pool::Totals());
    std::vector<PVOID> blocks(400);
    std::vector<std::thread> makers;
    for (size_t t = 0; t < 4; ++t) {
        makers.emplace_back([&, t] {
            for (size_t i = t; i < blocks.size(); i += 4) {
                blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, 8 + i, kTag);
            }
        });
    }
    for (std::thread& maker : makers) {
        maker.join();
    }
    size_t bytes = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_NE(blocks[i], nullptr);
        bytes += 8 + i;
    }
    // The makers have ended: what they allocated is still outstanding.
    EXPECT_EQ(Usage(plat::pool::Outstanding()).allocations, blocks.size());
    EXPECT_EQ(Usage(plat::pool::Outstanding()).bytes, bytes);

    // Half freed by two other threads, the rest here.
    std::thread first([&] {
        for (size_t i = 0; i < 100; ++i) ExFreePoolWithTag(blocks[i], kTag);
    });
    std::thread second([&] {
        for (size_t i = 100; i < 200; ++i) ExFreePoolWithTag(blocks[i], kTag);
    });
    first.join();
    second.join();
    EXPECT_EQ(Usage(plat::pool::Outstanding()).allocations, 200u);
    for (size_t i = 200; i < blocks.size(); ++i) {
        ExFreePoolWithTag(blocks[i], kTag);
    }
    EXPECT_EQ(plat::pool::Outstanding().count(kTag), 0u) << "a tag with nothing left is not listed";
    EXPECT_EQ(Usage(plat::pool::Totals()).allocations, totalBefore.allocations + blocks.size());
    EXPECT_EQ(Usage(plat::pool::Totals()).bytes, totalBefore.bytes + bytes);
}

// A small block comes back from the freeing thread's list: zeroed when asked
// for, filled otherwise, never with what its last user left in it.
TEST_F(Bookkeeping, ReusedSmallBlocksShowNothingOfTheirLastUse)
{
    for (SIZE_T size : {SIZE_T{16}, SIZE_T{60}, SIZE_T{200}}) {
        auto* dirty = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, 0x5A, size);
        ExFreePoolWithTag(dirty, kTag);
        auto* zeroed = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
        ASSERT_NE(zeroed, nullptr);
        auto* filled = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(filled, nullptr);
        for (SIZE_T i = 0; i < size; ++i) {
            ASSERT_EQ(zeroed[i], 0u) << "byte " << i << " of " << size;
            ASSERT_EQ(filled[i], 0xCDu) << "byte " << i << " of " << size;
        }
        ExFreePoolWithTag(zeroed, kTag);
        ExFreePoolWithTag(filled, kTag);
    }
}

// Two threads making and deleting memory objects at once, each keeping some
// alive: no handle is ever given to two live objects, and objects one thread
// made are deleted by another without a trace left for the verifier.
TEST_F(Bookkeeping, HandlesOfLiveObjectsStayDistinctAcrossThreadsMakingAndDeleting)
{
    LoadAndAdd();
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

class BookkeepingDeath : public Testbed {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Testbed::SetUp();
    }
};

// A thread reuses the slots of the objects it deleted (after many others):
// the handle of a deleted object still stops the system once its slot and
// its memory object's storage serve a new object.
TEST_F(BookkeepingDeath, AStaleHandleStaysStaleAfterItsSlotIsReused)
{
    LoadAndAdd();
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
