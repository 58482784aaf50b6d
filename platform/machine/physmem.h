/*
 * Physical memory: regions with contents at physical addresses. As on a PC,
 * any range can be mapped: a byte that no region holds reads as all ones
 * (0xFF), what a read that no device decodes returns, without a fault.
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

class PhysicalMemory {
public:
    // The most one mapping may span: the system address space a mapping takes
    // is a resource, and a larger request finds no room.
    static constexpr size_t kMaxMapping = size_t{256} << 20;

    PhysicalMemory();
    ~PhysicalMemory();
    PhysicalMemory(const PhysicalMemory&) = delete;
    PhysicalMemory& operator=(const PhysicalMemory&) = delete;

    // Adds (or replaces) the region starting at base; regions it overlaps are removed.
    void AddRegion(uint64_t base, const std::vector<uint8_t>& bytes);
    void RemoveRegion(uint64_t base);
    void Clear();

    // Maps [base, base + size) into host pages of its own that hold what the
    // memory held at this moment (later changes to the regions do not reach
    // it). nullptr for an empty range, one that wraps past the end of the
    // address space, one above kMaxMapping, or when the host has no pages
    // left. An inaccessible mapping faults at every touch: fault injection's
    // read error, which the caller's guarded block must catch.
    void* Map(uint64_t base, size_t size, bool inaccessible = false);
    // Ends a mapping made by Map with the same size; anything else stops the system.
    void Unmap(void* address, size_t size);
    // Mappings not yet unmapped (a verifier finding at unload).
    size_t LiveMappings() const;

    // What a mapping of [base, base + size) would read; empty where Map refuses the range.
    std::vector<uint8_t> Read(uint64_t base, size_t size) const;

private:
    struct Mapping {
        uint64_t base;
        size_t size;
        size_t hostSize;
        bool inaccessible;
    };
    struct Spare {
        void* host;
        size_t hostSize;
    };
    // Unmapped small mappings keep their host pages for the next mapping of
    // that size, as the system reuses the page-table entries it freed: a
    // driver that maps piece by piece then costs no host call per piece.
    static constexpr size_t kSpares = 8;
    static constexpr size_t kSpareLimit = 64 * 1024;

    static bool Mappable(uint64_t base, size_t size);
    void Fill(uint64_t base, size_t size, uint8_t* out) const;  // lock_ held
    void RemoveOverlapping(uint64_t base, uint64_t end);

    mutable std::mutex lock_;
    std::map<uint64_t, std::vector<uint8_t>> regions_;  // by base; never overlapping
    std::map<uintptr_t, Mapping> mappings_;             // by host address
    std::vector<Spare> spares_;                         // at most kSpares
    int reporter_ = -1;
};

}  // namespace plat
