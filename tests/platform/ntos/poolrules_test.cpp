// Pool handed back wrongly stops the system with the verifier's reason; pool
// handed back as allocated leaves nothing behind.
#include <gtest/gtest.h>

#include <cstdint>

#include "ntos/ex/pool.h"
#include "support/kernel.h"

namespace tvrx::test {
namespace {

constexpr ULONG kDriverTag = 0x64796C50;  // "Plyd"
constexpr ULONG kOtherTag = 0x74676154;   // "Tagt"

class VerifierStops : public KernelBed {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelBed::SetUp();
    }
};

// With another tag than it was allocated with, or twice (a sanitizer may see
// the second free's read of the freed block first): BAD_POOL_CALLER.
TEST_F(VerifierStops, PoolFreedWithAnotherTagOrTwice)
{
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kDriverTag);
            ExFreePoolWithTag(block, kOtherTag);
        },
        "BAD_POOL_CALLER.*\n.*ExFreePoolWithTag with tag Tagt of memory tagged Plyd");
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kDriverTag);
            ExFreePoolWithTag(block, kDriverTag);
            ExFreePoolWithTag(block, kDriverTag);
        },
        "ExFreePoolWithTag of an address that is not allocated|heap-use-after-free");
    // Blocks freed as allocated leave nothing behind.
    auto outstanding = [] {
        auto all = plat::pool::Outstanding();
        auto it = all.find(kDriverTag);
        return it == all.end() ? plat::pool::TagUsage{} : it->second;
    };
    plat::pool::TagUsage before = outstanding();
    PVOID block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kDriverTag);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    EXPECT_EQ(static_cast<unsigned char*>(block)[99], 0u);
    EXPECT_EQ(outstanding().bytes, before.bytes + 100);
    EXPECT_EQ(outstanding().allocations, before.allocations + 1);
    ExFreePool(block);
    EXPECT_EQ(outstanding().bytes, before.bytes);
}

}  // namespace
}  // namespace tvrx::test
