/*
 * Pool. Allocations are tracked in shards (by address) so that parallel
 * callers do not meet on one lock; each record keeps the tag, size and pool
 * type, so leaks are reported by tag and a free with the wrong tag, of an
 * unknown address or at the wrong IRQL stops the system.
 */
#include "nt/pool.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "machine/fault.h"
#include "machine/verifier.h"
#include "nt/bugcheck.h"
#include "nt/irql.h"

namespace plat::pool {
namespace {

struct Allocation {
    SIZE_T size;
    ULONG tag;
    bool paged;
};

struct Shard {
    std::mutex lock;
    std::unordered_map<void*, Allocation> live;
    std::map<ULONG, TagUsage> totals;
};

constexpr size_t kShards = 64;
std::array<Shard, kShards>& Shards()
{
    static std::array<Shard, kShards> shards;
    return shards;
}

Shard& ShardOf(void* p)
{
    auto bits = reinterpret_cast<uintptr_t>(p);
    return Shards()[(bits >> 4) % kShards];
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

void* Allocate(bool paged, SIZE_T size, ULONG tag, bool zero, const char* routine)
{
    RequireIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    RequireNoSpinLock(routine);
    if (!NT_SUCCESS(fault::Check("ExAllocatePool"))) {
        return nullptr;
    }
    void* p = zero ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
    if (p == nullptr) {
        return nullptr;
    }
    if (!zero) {
        std::memset(p, 0xCD, size);  // as the verifier's special pool would: never assume zeroed memory
    }
    Shard& shard = ShardOf(p);
    std::lock_guard<std::mutex> guard(shard.lock);
    shard.live.emplace(p, Allocation{size, tag, paged});
    TagUsage& total = shard.totals[tag];
    total.allocations++;
    total.bytes += size;
    return p;
}

void Free(void* p, ULONG tag, bool checkTag, const char* routine)
{
    if (p == nullptr) {
        BugCheck(BAD_POOL_CALLER, std::string(routine) + " of a NULL pointer", 0x46);
    }
    RequireNoSpinLock(routine);
    Shard& shard = ShardOf(p);
    Allocation allocation{};
    {
        std::lock_guard<std::mutex> guard(shard.lock);
        auto it = shard.live.find(p);
        if (it == shard.live.end()) {
            BugCheck(BAD_POOL_CALLER, std::string(routine) + " of an address that is not allocated (double free?)",
                     0x7, reinterpret_cast<ULONG_PTR>(p));
        }
        allocation = it->second;
        if (checkTag && allocation.tag != tag) {
            BugCheck(BAD_POOL_CALLER,
                     std::string(routine) + " with tag " + TagText(tag) + " of memory tagged " + TagText(allocation.tag),
                     0x9B, reinterpret_cast<ULONG_PTR>(p), tag, allocation.tag);
        }
        shard.live.erase(it);
    }
    RequireIrql(allocation.paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    std::free(p);
}

const int g_reporter = verifier::AddReporter("pool", [](std::vector<std::string>& findings) {
    for (const auto& [tag, usage] : Outstanding()) {
        std::ostringstream line;
        line << "pool: " << usage.allocations << " allocation(s), " << usage.bytes << " bytes with tag '"
             << TagText(tag) << "' not freed";
        findings.push_back(line.str());
    }
});

}  // namespace

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::map<ULONG, TagUsage> Outstanding()
{
    std::map<ULONG, TagUsage> result;
    for (Shard& shard : Shards()) {
        std::lock_guard<std::mutex> guard(shard.lock);
        for (const auto& [p, allocation] : shard.live) {
            TagUsage& usage = result[allocation.tag];
            usage.allocations++;
            usage.bytes += allocation.size;
        }
    }
    return result;
}

std::map<ULONG, TagUsage> Totals()
{
    std::map<ULONG, TagUsage> result;
    for (Shard& shard : Shards()) {
        std::lock_guard<std::mutex> guard(shard.lock);
        for (const auto& [tag, usage] : shard.totals) {
            result[tag].allocations += usage.allocations;
            result[tag].bytes += usage.bytes;
        }
    }
    return result;
}

}  // namespace plat::pool

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return plat::pool::Allocate(plat::pool::IsPaged(PoolType), NumberOfBytes, Tag, false, __func__);
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    bool paged = (Flags & POOL_FLAG_PAGED) != 0;
    if (paged == ((Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE)) != 0) || Tag == 0) {
        plat::BugCheck(BAD_POOL_CALLER, "ExAllocatePool2 needs exactly one pool kind and a non-zero tag", 0x9D);
    }
    bool zero = (Flags & POOL_FLAG_UNINITIALIZED) == 0;
    return plat::pool::Allocate(paged, NumberOfBytes, Tag, zero, __func__);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { plat::pool::Free(P, Tag, true, __func__); }

VOID ExFreePool(PVOID P) { plat::pool::Free(P, 0, false, __func__); }

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    auto a = static_cast<const unsigned char*>(Source1);
    auto b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

}  // extern "C"
