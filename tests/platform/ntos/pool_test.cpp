// The pool's bookkeeping is kept per thread (counts by tag, small blocks kept
// for reuse): what a thread counts or keeps must still add up across threads,
// outlive the thread, and never let a freed block show what it held. Small
// blocks of one size lie together, and a block is handed out again only
// once it has been freed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "ntos/ex/pool.h"
#include "support/kernel.h"

namespace tvrx::test {
namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

plat::pool::TagUsage Usage(const std::map<ULONG, plat::pool::TagUsage>& all)
{
    auto it = all.find(kTag);
    return it == all.end() ? plat::pool::TagUsage{} : it->second;
}

class Bookkeeping : public KernelBed {};

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

// Blocks of every small size and a few larger ones, allocated interleaved,
// half of them freed by a thread that then ends, and the freed room asked
// for again in other sizes: no two allocated blocks ever share a byte, each
// keeps the 16 bytes' alignment pool has on a 64-bit system, and each keeps
// what its owner wrote. A block handed out while still allocated, one too
// small for its size, or one given back to another size's blocks would
// overlap a neighbour or lose its bytes.
TEST_F(Bookkeeping, AllocatedBlocksNeverOverlapKeepTheirBytesAndTheirAlignment)
{
    const SIZE_T sizes[] = {1, 15, 16, 17, 31, 32, 33, 40, 48, 63, 64, 65, 100, 200, 255, 256, 257,
                            496, 511, 512, 513, 600, 1024, 4096};
    struct Block {
        unsigned char* p;
        SIZE_T size;
        unsigned char fill;
    };
    std::vector<Block> blocks;
    unsigned char nextFill = 1;
    auto allocate = [&](SIZE_T size) {
        auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
        ASSERT_NE(p, nullptr) << size << " bytes";
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size << " bytes";
        for (const Block& other : blocks) {  // before writing, so that an overlap fails rather than corrupts
            ASSERT_TRUE(p + size <= other.p || other.p + other.size <= p)
                << "a new block of " << size << " bytes overlaps an allocated one of " << other.size;
        }
        nextFill = nextFill == 0xCC ? 1 : nextFill + 1;  // never the fill of fresh pool
        std::memset(p, nextFill, size);
        blocks.push_back({p, size, nextFill});
    };
    auto expectIntact = [&] {
        for (const Block& block : blocks) {
            for (SIZE_T i = 0; i < block.size; ++i) {
                ASSERT_EQ(block.p[i], block.fill) << "byte " << i << " of a block of " << block.size;
            }
        }
    };

    for (int round = 0; round < 40; ++round) {
        for (SIZE_T size : sizes) {
            ASSERT_NO_FATAL_FAILURE(allocate(size));
        }
    }
    ASSERT_NO_FATAL_FAILURE(expectIntact());

    // Every other block freed on a thread that ends: what its list kept goes back for others.
    std::vector<Block> kept, freed;
    for (size_t i = 0; i < blocks.size(); ++i) {
        (i % 2 == 0 ? kept : freed).push_back(blocks[i]);
    }
    std::thread([&] {
        for (auto it = freed.rbegin(); it != freed.rend(); ++it) {
            ExFreePoolWithTag(it->p, kTag);
        }
    }).join();
    blocks = kept;

    // The freed room asked for again, each size where another size was.
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < std::size(sizes); ++i) {
            ASSERT_NO_FATAL_FAILURE(allocate(sizes[(i + 5) % std::size(sizes)]));
        }
    }
    ASSERT_NO_FATAL_FAILURE(expectIntact());

    for (const Block& block : blocks) {
        ExFreePoolWithTag(block.p, kTag);
    }
    EXPECT_EQ(plat::pool::Outstanding().count(kTag), 0u);
}

}  // namespace
}  // namespace tvrx::test
