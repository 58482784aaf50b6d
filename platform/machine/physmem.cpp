/*
 * Physical memory regions and their mappings. Each mapping is host pages of
 * its own, filled from the regions it covers and with 0xFF where there are
 * none, so mapping a range never depends on what lies around it. The pages
 * of a small mapping that ended serve the next mapping of that size (a read
 * through a stale mapping may then see the next one's bytes, as a stale
 * system address may on Windows).
 */
#include "machine/physmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/bugcheck.h"
#include "base/verifier.h"

namespace plat {

namespace {

constexpr uint8_t kUndecoded = 0xFF;  // what a read nothing answers returns

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
    for (const auto& entry : mappings_) {
        munmap(reinterpret_cast<void*>(entry.first), entry.second.hostSize);
    }
    for (const Spare& spare : spares_) {
        munmap(spare.host, spare.hostSize);
    }
}

void PhysicalMemory::AddRegion(uint64_t base, const std::vector<uint8_t>& bytes)
{
    if (bytes.empty()) {
        RemoveRegion(base);
        return;
    }
    if (bytes.size() > UINT64_MAX - base) {
        throw std::invalid_argument("physical memory region wraps past the end of the address space");
    }
    std::lock_guard<std::mutex> guard(lock_);
    RemoveOverlapping(base, base + bytes.size());
    regions_[base] = bytes;
}

void PhysicalMemory::RemoveRegion(uint64_t base)
{
    std::lock_guard<std::mutex> guard(lock_);
    regions_.erase(base);
}

void PhysicalMemory::Clear()
{
    std::lock_guard<std::mutex> guard(lock_);
    regions_.clear();
}

void PhysicalMemory::RemoveOverlapping(uint64_t base, uint64_t end)
{
    for (auto it = regions_.begin(); it != regions_.end();) {
        bool overlaps = it->first < end && base < it->first + it->second.size();
        it = overlaps ? regions_.erase(it) : std::next(it);
    }
}

bool PhysicalMemory::Mappable(uint64_t base, size_t size)
{
    return size != 0 && size <= kMaxMapping && size - 1 <= UINT64_MAX - base;
}

// The regions never overlap, so each byte of out comes from at most one of them.
void PhysicalMemory::Fill(uint64_t base, size_t size, uint8_t* out) const
{
    std::memset(out, kUndecoded, size);
    uint64_t last = base + (size - 1);
    for (const auto& [start, bytes] : regions_) {
        uint64_t end = start + (bytes.size() - 1);
        if (start > last || end < base) {
            continue;
        }
        uint64_t from = std::max(start, base);
        uint64_t to = std::min(end, last);
        std::memcpy(out + (from - base), bytes.data() + (from - start), size_t(to - from) + 1);
    }
}

void* PhysicalMemory::Map(uint64_t base, size_t size, bool inaccessible)
{
    if (!Mappable(base, size)) {
        return nullptr;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t hostSize = (size + page - 1) / page * page;
    std::lock_guard<std::mutex> guard(lock_);
    void* memory = nullptr;
    auto spare = std::find_if(spares_.begin(), spares_.end(), [&](const Spare& s) { return s.hostSize == hostSize; });
    if (spare != spares_.end() && !inaccessible) {
        memory = spare->host;
        spares_.erase(spare);
    } else {
        memory = mmap(nullptr, hostSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            return nullptr;
        }
    }
    auto* host = static_cast<uint8_t*>(memory);
    Fill(base, size, host);
    if (inaccessible) {
        mprotect(host, hostSize, PROT_NONE);
    }
    mappings_.emplace(reinterpret_cast<uintptr_t>(host), Mapping{base, size, hostSize, inaccessible});
    return host;
}

void PhysicalMemory::Unmap(void* address, size_t size)
{
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = mappings_.find(reinterpret_cast<uintptr_t>(address));
        if (it != mappings_.end() && it->second.size == size) {
            const Mapping& mapping = it->second;
            if (!mapping.inaccessible && mapping.hostSize <= kSpareLimit && spares_.size() < kSpares) {
                spares_.push_back(Spare{address, mapping.hostSize});
            } else {
                munmap(address, mapping.hostSize);
            }
            mappings_.erase(it);
            return;
        }
        char text[160];
        if (it != mappings_.end()) {
            std::snprintf(text, sizeof(text), "%p was mapped with %zu bytes and is unmapped with %zu", address,
                          it->second.size, size);
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
    if (!Mappable(base, size)) {
        return {};
    }
    std::vector<uint8_t> bytes(size);
    std::lock_guard<std::mutex> guard(lock_);
    Fill(base, size, bytes.data());
    return bytes;
}

}  // namespace plat
