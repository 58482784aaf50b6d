// The machine's physical memory and its mapping into system space.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <wdm.h>

#include "base/fault.h"
#include "base/verifier.h"
#include "machine/physmem.h"
#include "ntos/ke/irql.h"
#include "support/kernel.h"

namespace {

class PhysicalMemoryTest : public ::testing::Test {
protected:
    void SetUp() override { plat::fault::Reset(); }
    void TearDown() override { plat::fault::Reset(); }

    static PHYSICAL_ADDRESS At(LONGLONG address)
    {
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = address;
        return physical;
    }

    static std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
    {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<uint8_t>(seed + i * 7);
        }
        return bytes;
    }

    tvrx::test::Kernel machine_;
    plat::PhysicalMemory& memory_ = machine_.Memory();
};

// As on a PC, any physical range maps, and a byte no region holds reads as
// all ones (what a read that no device decodes returns), without a fault.
// Mapping fails only for lack of resources: a range too large for the system
// space, a range that is no range, or the injected failure.
TEST_F(PhysicalMemoryTest, AnyRangeMapsAndBytesNothingHoldsReadAllOnes)
{
    const auto low = Pattern(3000, 1);
    const auto high = Pattern(100, 9);
    memory_.AddRegion(0x7F000000, low);
    memory_.AddRegion(0x7F000000 + 3000, high);  // adjacent, but another region

    auto* whole = static_cast<uint8_t*>(MmMapIoSpace(At(0x7F000000), 3000, MmNonCached));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::memcmp(whole, low.data(), low.size()), 0);

    // Straddling both regions and running 50 bytes past the second.
    auto* across = static_cast<uint8_t*>(MmMapIoSpace(At(0x7F000000 + 2990), 160, MmNonCached));
    ASSERT_NE(across, nullptr);
    std::vector<uint8_t> expected(160, 0xFF);
    std::copy(low.end() - 10, low.end(), expected.begin());
    std::copy(high.begin(), high.end(), expected.begin() + 10);
    EXPECT_EQ(std::vector<uint8_t>(across, across + 160), expected);

    // Starting before the first region, and nothing there at all.
    auto* before = static_cast<uint8_t*>(MmMapIoSpace(At(0x7EFFFFFF), 2, MmNonCached));
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before[0], 0xFF);
    EXPECT_EQ(before[1], low[0]);
    auto* nothing = static_cast<uint8_t*>(MmMapIoSpace(At(0x10), 4, MmNonCached));
    ASSERT_NE(nothing, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(nothing, nothing + 4), std::vector<uint8_t>(4, 0xFF));

    EXPECT_EQ(MmMapIoSpace(At(0x7F000000), 0, MmNonCached), nullptr);
    EXPECT_EQ(MmMapIoSpace(At(-1), 4, MmNonCached), nullptr);
    EXPECT_EQ(memory_.Map(UINT64_MAX, 2), nullptr);  // wraps the address space
    void* lastByte = memory_.Map(UINT64_MAX, 1);  // the last byte is a range
    EXPECT_NE(lastByte, nullptr);
    EXPECT_EQ(MmMapIoSpace(At(0), plat::PhysicalMemory::kMaxMapping + 1, MmNonCached), nullptr);
    plat::fault::FailNth("MmMapIoSpace", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(MmMapIoSpace(At(0x7F000000), 16, MmNonCached), nullptr);

    EXPECT_EQ(memory_.LiveMappings(), 5u);
    MmUnmapIoSpace(nothing, 4);
    MmUnmapIoSpace(before, 2);
    MmUnmapIoSpace(across, 160);
    MmUnmapIoSpace(whole, 3000);
    EXPECT_EQ(memory_.LiveMappings(), 1u);
    memory_.Unmap(lastByte, 1);

    EXPECT_EQ(memory_.Read(0x7F000000 + 2990, 160), expected);
    EXPECT_TRUE(memory_.Read(UINT64_MAX, 2).empty());
}

TEST_F(PhysicalMemoryTest, MappingsLeftBehindAreVerifierFindings)
{
    memory_.AddRegion(0x1000, Pattern(64, 0));
    void* first = MmMapIoSpace(At(0x1010), 16, MmCached);
    void* second = MmMapIoSpace(At(0x1010), 16, MmCached);  // the same range twice is two mappings
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::memcmp(first, second, 16), 0);

    auto report = plat::verifier::Check();
    ASSERT_EQ(report.findings.size(), 2u) << report.Text();
    EXPECT_NE(report.Text().find("physical memory mapping at 0x1010 (16 bytes) not unmapped"), std::string::npos);

    MmUnmapIoSpace(first, 16);
    MmUnmapIoSpace(second, 16);
    EXPECT_TRUE(plat::verifier::Check().Clean()) << plat::verifier::Check().Text();
}

// Mapping piece by piece reuses the pages of the piece before (the export
// maps 1 KiB at a time): each mapping still shows its own range, with 0xFF
// where nothing answers, and a read-error mapping never hands its pages on.
TEST_F(PhysicalMemoryTest, EachMappingShowsItsOwnRangeWhenPagesAreReused)
{
    const auto low = Pattern(1024, 3);
    memory_.AddRegion(0x3000, low);
    auto* first = static_cast<uint8_t*>(MmMapIoSpace(At(0x3000), 1024, MmNonCached));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::memcmp(first, low.data(), low.size()), 0);
    MmUnmapIoSpace(first, 1024);

    auto* beyond = static_cast<uint8_t*>(MmMapIoSpace(At(0x3200), 1024, MmNonCached));
    ASSERT_NE(beyond, nullptr);
    EXPECT_EQ(std::memcmp(beyond, low.data() + 0x200, 0x200), 0);
    EXPECT_TRUE(std::all_of(beyond + 0x200, beyond + 1024, [](uint8_t b) { return b == 0xFF; }))
        << "the half past the region reads as nothing, not as the last mapping's bytes";
    MmUnmapIoSpace(beyond, 1024);

    plat::fault::FailNth("PhysicalMemoryRead", 1, STATUS_IN_PAGE_ERROR);
    void* failing = MmMapIoSpace(At(0x3000), 1024, MmNonCached);
    ASSERT_NE(failing, nullptr);
    MmUnmapIoSpace(failing, 1024);
    auto* after = static_cast<uint8_t*>(MmMapIoSpace(At(0x3000), 1024, MmNonCached));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after[0], low[0]) << "a mapping after a failing one is readable";
    MmUnmapIoSpace(after, 1024);
    EXPECT_TRUE(plat::verifier::Check().Clean()) << plat::verifier::Check().Text();
}

TEST_F(PhysicalMemoryTest, MappingKeepsWhatTheMemoryHeldWhenMapped)
{
    memory_.AddRegion(0x2000, std::vector<uint8_t>(8192, 0xAA));
    auto* mapped = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0x2000), 8192, MmNonCached));
    ASSERT_NE(mapped, nullptr);

    memory_.AddRegion(0x2000, std::vector<uint8_t>(16, 0xBB));  // replaces it
    memory_.AddRegion(0x1F00, std::vector<uint8_t>(0x200, 0xCC));  // overlaps the new one: replaces it too
    EXPECT_EQ(mapped[8191], 0xAA);
    EXPECT_EQ(memory_.Read(0x2000, 1), std::vector<uint8_t>{0xCC});
    EXPECT_EQ(memory_.Read(0x2100, 1), std::vector<uint8_t>{0xFF}) << "past the new region: nothing";
    MmUnmapIoSpace(const_cast<uint8_t*>(mapped), 8192);

    memory_.Clear();
    EXPECT_EQ(memory_.Read(0x2000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

using PhysicalMemoryDeathTest = PhysicalMemoryTest;

TEST_F(PhysicalMemoryDeathTest, UnmappingWhatIsNotMappedStopsTheSystem)
{
    memory_.AddRegion(0x3000, Pattern(32, 3));
    EXPECT_DEATH(MmUnmapIoSpace(reinterpret_cast<PVOID>(0x1234), 4), "is not a mapping of physical memory");
    EXPECT_DEATH(
        {
            void* mapped = MmMapIoSpace(At(0x3000), 32, MmNonCached);
            MmUnmapIoSpace(mapped, 32);
            MmUnmapIoSpace(mapped, 32);
        },
        "MmUnmapIoSpace");
    EXPECT_DEATH(
        {
            void* mapped = MmMapIoSpace(At(0x3000), 32, MmNonCached);
            MmUnmapIoSpace(mapped, 16);
        },
        "mapped with 32 bytes and is unmapped with 16");
    EXPECT_DEATH(
        {
            plat::IrqlScope high(HIGH_LEVEL);
            MmMapIoSpace(At(0x3000), 32, MmNonCached);
        },
        "MmMapIoSpace");
}

}  // namespace
