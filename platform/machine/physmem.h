/*
 * Physical memory: regions with contents at physical addresses. A region can
 * be marked faulting: mapping it succeeds, but touching the mapping raises an
 * access violation (a real hardware fault, caught by __try/__except).
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace plat {

class PhysicalMemory {
public:
    PhysicalMemory();
    ~PhysicalMemory();
    PhysicalMemory(const PhysicalMemory&) = delete;
    PhysicalMemory& operator=(const PhysicalMemory&) = delete;

    // Adds (or replaces) the region starting at base.
    void AddRegion(uint64_t base, const std::vector<uint8_t>& bytes, bool faulting = false);
    void RemoveRegion(uint64_t base);
    void Clear();

    // Host address of [base, base + size) when one region holds all of it, else nullptr.
    void* Map(uint64_t base, size_t size);
    void Unmap(void* address, size_t size);
    // Mappings not yet unmapped (a verifier finding at unload).
    size_t LiveMappings() const;

    // Copy of [base, base + size) for tests; empty when not inside one readable region.
    std::vector<uint8_t> Read(uint64_t base, size_t size) const;

private:
    struct Region;
    mutable std::mutex lock_;
    std::vector<Region*> regions_;
    size_t liveMappings_ = 0;
};

}  // namespace plat
