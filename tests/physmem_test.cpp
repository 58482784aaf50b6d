// The machine's physical memory and its mapping into system space.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <wdm.h>

#include "base/fault.h"
#include "base/verifier.h"
#include "machine/physmem.h"
#include "ntos/ke/irql.h"
#include "system/machine.h"

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

    plat::Machine machine_;
    plat::PhysicalMemory& memory_ = machine_.Memory();
};

TEST_F(PhysicalMemoryTest, MapsOnlyRangesThatOneRegionHolds)
{
    const auto low = Pattern(3000, 1);
    const auto high = Pattern(100, 9);
    memory_.AddRegion(0x7F000000, low);
    memory_.AddRegion(0x7F000000 + 3000, high);  // adjacent, but another region

    auto* whole = static_cast<uint8_t*>(MmMapIoSpace(At(0x7F000000), 3000, MmNonCached));
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::memcmp(whole, low.data(), low.size()), 0);
    auto* tail = static_cast<uint8_t*>(MmMapIoSpace(At(0x7F000000 + 2999), 1, MmNonCached));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(*tail, low[2999]);

    EXPECT_EQ(MmMapIoSpace(At(0x7F000000 + 2999), 2, MmNonCached), nullptr);  // straddles two regions
    EXPECT_EQ(MmMapIoSpace(At(0x7EFFFFFF), 2, MmNonCached), nullptr);         // starts before
    EXPECT_EQ(MmMapIoSpace(At(0x10), 4, MmNonCached), nullptr);               // nothing there
    EXPECT_EQ(MmMapIoSpace(At(0x7F000000), 0, MmNonCached), nullptr);
    EXPECT_EQ(MmMapIoSpace(At(-1), 4, MmNonCached), nullptr);
    EXPECT_EQ(memory_.Map(UINT64_MAX, 2), nullptr);  // wraps the address space

    plat::fault::FailNth("MmMapIoSpace", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(MmMapIoSpace(At(0x7F000000), 16, MmNonCached), nullptr);

    EXPECT_EQ(memory_.LiveMappings(), 2u);
    MmUnmapIoSpace(tail, 1);
    MmUnmapIoSpace(whole, 3000);
    EXPECT_EQ(memory_.LiveMappings(), 0u);

    EXPECT_EQ(memory_.Read(0x7F000000 + 3000, 100), high);
    EXPECT_TRUE(memory_.Read(0x7F000000 + 2999, 2).empty());
}

TEST_F(PhysicalMemoryTest, MappingsLeftBehindAreVerifierFindings)
{
    memory_.AddRegion(0x1000, Pattern(64, 0));
    void* first = MmMapIoSpace(At(0x1010), 16, MmCached);
    void* second = MmMapIoSpace(At(0x1010), 16, MmCached);  // the same range twice is two mappings
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);

    auto report = plat::verifier::Check();
    ASSERT_EQ(report.findings.size(), 2u) << report.Text();
    EXPECT_NE(report.Text().find("physical memory mapping at 0x1010 (16 bytes) not unmapped"), std::string::npos);

    MmUnmapIoSpace(first, 16);
    MmUnmapIoSpace(second, 16);
    EXPECT_TRUE(plat::verifier::Check().Clean()) << plat::verifier::Check().Text();
}

TEST_F(PhysicalMemoryTest, ReplacedRegionStaysValidWhileMapped)
{
    memory_.AddRegion(0x2000, std::vector<uint8_t>(8192, 0xAA));
    auto* mapped = static_cast<volatile uint8_t*>(MmMapIoSpace(At(0x2000), 8192, MmNonCached));
    ASSERT_NE(mapped, nullptr);

    memory_.AddRegion(0x2000, std::vector<uint8_t>(16, 0xBB));  // replaces it
    memory_.AddRegion(0x1F00, std::vector<uint8_t>(0x200, 0xCC));  // overlaps the new one: replaces it too
    EXPECT_EQ(mapped[8191], 0xAA);  // the old pages are still there (ASan would see a use after free)
    EXPECT_EQ(memory_.Read(0x2000, 1), std::vector<uint8_t>{0xCC});
    MmUnmapIoSpace(const_cast<uint8_t*>(mapped), 8192);

    memory_.Clear();
    EXPECT_EQ(MmMapIoSpace(At(0x2000), 1, MmNonCached), nullptr);
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
