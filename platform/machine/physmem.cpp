/*
 * Physical memory regions, each backed by its own page-aligned host pages so
 * that a faulting region can be made inaccessible (PROT_NONE) and touching it
 * is a real hardware fault. Mappings share ownership of their region: a region
 * replaced or removed while mapped stays in place until the mapping ends.
 */
#include "machine/physmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "base/bugcheck.h"
#include "base/verifier.h"

namespace plat {

struct PhysicalMemory::Region {
    Region(uint64_t base, const std::vector<uint8_t>& bytes, bool faulting)
        : base(base), size(bytes.size()), faulting(faulting)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        hostSize = (size + page - 1) / page * page;
        void* memory = mmap(nullptr, hostSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::bad_alloc();
        }
        host = static_cast<uint8_t*>(memory);
        std::memcpy(host, bytes.data(), size);
        if (faulting) {
            mprotect(host, hostSize, PROT_NONE);
        }
    }
    ~Region() { munmap(host, hostSize); }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

    uint64_t End() const { return base + size; }
    bool Holds(uint64_t start, size_t length) const
    {
        return start >= base && length <= size && start - base <= size - length;
    }

    const uint64_t base;
    const size_t size;
    const bool faulting;
    uint8_t* host = nullptr;
    size_t hostSize = 0;
};

namespace {

std::string MappingText(uint64_t base, size_t size)
{
    char text[96];
    std::snprintf(text, sizeof(text), "physical memory mapping at 0x%" PRIx64 " (%zu bytes) not unmapped", base, size);
    return text;
}

}  // namespace

PhysicalMemory::PhysicalMemory()
{
    reporter_ = verifier::AddReporter("physical memory", [this](std::vector<std::string>& findings) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& entry : mappings_) {
            findings.push_back(MappingText(entry.second.base, entry.second.size));
        }
    });
}

PhysicalMemory::~PhysicalMemory()
{
    verifier::RemoveReporter(reporter_);
}

void PhysicalMemory::AddRegion(uint64_t base, const std::vector<uint8_t>& bytes, bool faulting)
{
    if (bytes.empty()) {
        RemoveRegion(base);
        return;
    }
    if (bytes.size() > UINT64_MAX - base) {
        throw std::invalid_argument("physical memory region wraps past the end of the address space");
    }
    auto region = std::make_shared<Region>(base, bytes, faulting);
    std::lock_guard<std::mutex> guard(lock_);
    RemoveOverlapping(base, base + bytes.size());
    regions_.push_back(std::move(region));
}

void PhysicalMemory::RemoveRegion(uint64_t base)
{
    std::lock_guard<std::mutex> guard(lock_);
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(), [base](const auto& r) { return r->base == base; }),
                   regions_.end());
}

void PhysicalMemory::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    regions_.clear();
}

void PhysicalMemory::RemoveOverlapping(uint64_t base, uint64_t end)
{
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(),
                                  [base, end](const auto& r) { return r->base < end && base < r->End(); }),
                   regions_.end());
}

std::shared_ptr<PhysicalMemory::Region> PhysicalMemory::Containing(uint64_t base, size_t size) const
{
    for (const auto& region : regions_) {
        if (region->Holds(base, size)) {
            return region;
        }
    }
    return nullptr;
}

void* PhysicalMemory::Map(uint64_t base, size_t size)
{
    if (size == 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto region = Containing(base, size);
    if (!region) {
        return nullptr;
    }
    uint8_t* address = region->host + (base - region->base);
    mappings_.emplace(reinterpret_cast<uintptr_t>(address), Mapping{base, size, std::move(region)});
    return address;
}

void PhysicalMemory::Unmap(void* address, size_t size)
{
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto range = mappings_.equal_range(reinterpret_cast<uintptr_t>(address));
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.size == size) {
                mappings_.erase(it);  // the region's pages go when nothing else holds them
                return;
            }
        }
        char text[160];
        if (range.first != range.second) {
            std::snprintf(text, sizeof(text), "%p was mapped with %zu bytes and is unmapped with %zu", address,
                          range.first->second.size, size);
        } else {
            std::snprintf(text, sizeof(text), "%p (%zu bytes) is not a mapping of physical memory", address, size);
        }
        problem = text;
    }
    VerifierViolation("MmUnmapIoSpace", problem);
}

size_t PhysicalMemory::LiveMappings() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return mappings_.size();
}

std::vector<uint8_t> PhysicalMemory::Read(uint64_t base, size_t size) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto region = size == 0 ? nullptr : Containing(base, size);
    if (region == nullptr || region->faulting) {
        return {};
    }
    const uint8_t* start = region->host + (base - region->base);
    return std::vector<uint8_t>(start, start + size);
}

}  // namespace plat
