/*
 * Physical memory: regions with contents at physical addresses. A region can
 * be marked faulting: mapping it succeeds, but touching the mapping raises an
 * access violation (a real hardware fault, caught by __try/__except).
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace plat {

class PhysicalMemory {
public:
    PhysicalMemory();
    ~PhysicalMemory();
    PhysicalMemory(const PhysicalMemory&) = delete;
    PhysicalMemory& operator=(const PhysicalMemory&) = delete;

    // Adds (or replaces) the region starting at base; regions it overlaps are removed.
    // Memory still mapped stays valid until it is unmapped.
    void AddRegion(uint64_t base, const std::vector<uint8_t>& bytes, bool faulting = false);
    void RemoveRegion(uint64_t base);
    void Clear();

    // Host address of [base, base + size) when one region holds all of it, else nullptr.
    void* Map(uint64_t base, size_t size);
    // Ends a mapping made by Map with the same size; anything else stops the system.
    void Unmap(void* address, size_t size);
    // Mappings not yet unmapped (a verifier finding at unload).
    size_t LiveMappings() const;

    // Copy of [base, base + size) for tests; empty when not inside one readable region.
    std::vector<uint8_t> Read(uint64_t base, size_t size) const;

private:
    struct Region;
    struct Mapping {
        uint64_t base;
        size_t size;
        std::shared_ptr<Region> region;  // keeps the memory while mapped
    };

    void RemoveOverlapping(uint64_t base, uint64_t end);
    std::shared_ptr<Region> Containing(uint64_t base, size_t size) const;

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Region>> regions_;
    std::multimap<uintptr_t, Mapping> mappings_;  // by host address
    int reporter_ = -1;
};

}  // namespace plat
