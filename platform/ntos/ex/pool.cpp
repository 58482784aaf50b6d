/*
 * Pool. Every allocation carries a header with its tag, size and pool type,
 * so a free with the wrong tag, of an address that is not allocated or at the
 * wrong IRQL stops the system. What is allocated is counted by tag in shards:
 * a thread counts its allocations in its own shard, so parallel callers do
 * not meet on one lock or one cache line, and leaks are reported by tag.
 */
#include "ntos/ex/pool.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/hostlock.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"

namespace plat::pool {
namespace {

constexpr uint32_t kLive = 0x4C6F6F50;   // "PooL"
constexpr uint32_t kFreed = 0x65657246;  // "Free"

// In front of every allocation; 32 bytes, so the caller's memory keeps the
// 16-byte alignment of pool on a 64-bit system.
struct alignas(16) Header {
    SIZE_T size;
    ULONG tag;
    uint16_t shard;
    bool paged;
    uint32_t magic;  // past the first 16 bytes, which the C library reuses once freed
};
static_assert(sizeof(Header) == 32, "pool header keeps the alignment");

struct TagCounts {
    ULONG tag;
    TagUsage live;
    TagUsage total;
};

// A shard's lock is held only to count, never across a call. The counts of
// its first tags lie in the shard itself, so that two threads' shards never
// share a cache line.
struct alignas(64) Shard {
    static constexpr size_t kInline = 8;

    HostLock lock;
    size_t used = 0;
    TagCounts first[kInline] = {};
    std::vector<TagCounts> more;  // tags past the first few

    // The counts of a tag, added when new; nullptr when there is no room for it.
    TagCounts* Of(ULONG tag)
    {
        for (size_t i = 0; i < used; ++i) {
            if (first[i].tag == tag) {
                return &first[i];
            }
        }
        for (TagCounts& counts : more) {
            if (counts.tag == tag) {
                return &counts;
            }
        }
        if (used < kInline) {
            first[used] = TagCounts{tag, {}, {}};
            return &first[used++];
        }
        try {
            more.push_back(TagCounts{tag, {}, {}});
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        return &more.back();
    }

    template <class Visit>
    void ForEach(Visit visit) const
    {
        for (size_t i = 0; i < used; ++i) {
            visit(first[i]);
        }
        for (const TagCounts& counts : more) {
            visit(counts);
        }
    }
};

constexpr size_t kShards = 64;
std::array<Shard, kShards>& Shards()
{
    static std::array<Shard, kShards> shards;
    return shards;
}

uint16_t ThreadShard() { return static_cast<uint16_t>(ThreadIndex() % kShards); }

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

// False when a new tag cannot be counted (the allocation then fails).
bool Count(Header* header, bool allocated)
{
    Shard& shard = Shards()[header->shard];
    std::lock_guard<HostLock> guard(shard.lock);
    TagCounts* counts = shard.Of(header->tag);
    if (counts == nullptr) {
        return false;
    }
    if (allocated) {
        counts->live.allocations++;
        counts->live.bytes += header->size;
        counts->total.allocations++;
        counts->total.bytes += header->size;
    } else {
        counts->live.allocations--;
        counts->live.bytes -= header->size;
    }
    return true;
}

void* Allocate(bool paged, SIZE_T size, ULONG tag, bool zero, const char* routine)
{
    RequireIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    RequireNoSpinLock(routine);
    if (!NT_SUCCESS(fault::Check("ExAllocatePool")) || size > SIZE_MAX - sizeof(Header)) {
        return nullptr;
    }
    auto* header = static_cast<Header*>(zero ? std::calloc(1, sizeof(Header) + size) : std::malloc(sizeof(Header) + size));
    if (header == nullptr) {
        return nullptr;
    }
    void* p = header + 1;
    if (!zero) {
        std::memset(p, 0xCD, size);  // as the verifier's special pool would: never assume zeroed memory
    }
    *header = Header{size, tag, ThreadShard(), paged, kLive};
    if (!Count(header, true)) {
        std::free(header);
        return nullptr;
    }
    return p;
}

void Free(void* p, ULONG tag, bool checkTag, const char* routine)
{
    if (p == nullptr) {
        BugCheck(BAD_POOL_CALLER, std::string(routine) + " of a NULL pointer", 0x46);
    }
    RequireNoSpinLock(routine);
    Header* header = static_cast<Header*>(p) - 1;
    if (reinterpret_cast<uintptr_t>(p) % alignof(Header) != 0 || header->magic != kLive) {
        BugCheck(BAD_POOL_CALLER, std::string(routine) + " of an address that is not allocated (double free?)", 0x7,
                 reinterpret_cast<ULONG_PTR>(p));
    }
    if (checkTag && header->tag != tag) {
        BugCheck(BAD_POOL_CALLER,
                 std::string(routine) + " with tag " + TagText(tag) + " of memory tagged " + TagText(header->tag),
                 0x9B, reinterpret_cast<ULONG_PTR>(p), tag, header->tag);
    }
    RequireIrql(header->paged ? APC_LEVEL : DISPATCH_LEVEL, routine);
    Count(header, false);
    header->magic = kFreed;
    std::free(header);
}

// Sums a shard's counts of every tag.
template <class Pick>
std::map<ULONG, TagUsage> Sum(Pick pick)
{
    std::map<ULONG, TagUsage> result;
    for (Shard& shard : Shards()) {
        std::lock_guard<HostLock> guard(shard.lock);
        shard.ForEach([&](const TagCounts& counts) {
            const TagUsage& usage = pick(counts);
            result[counts.tag].allocations += usage.allocations;
            result[counts.tag].bytes += usage.bytes;
        });
    }
    // Tags with nothing left are not listed.
    for (auto it = result.begin(); it != result.end();) {
        it = it->second.allocations == 0 ? result.erase(it) : std::next(it);
    }
    return result;
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
    return Sum([](const TagCounts& counts) -> const TagUsage& { return counts.live; });
}

std::map<ULONG, TagUsage> Totals()
{
    return Sum([](const TagCounts& counts) -> const TagUsage& { return counts.total; });
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
