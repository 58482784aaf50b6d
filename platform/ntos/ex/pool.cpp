/*
 * Pool. Every allocation carries a header with its tag, size and pool type,
 * so a free with the wrong tag, of an address that is not allocated or at the
 * wrong IRQL stops the system. What is allocated and freed is counted by tag
 * in a block of counts of the calling thread's own, which only that thread
 * writes: counting takes no lock and no atomic read-modify-write, and
 * parallel callers touch no cache line in common. A reader adds up the
 * blocks; leaks are reported by tag. Small blocks come from slabs of their
 * size class, larger ones from the C library.
 */
#include "ntos/ex/pool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>
#include <utility>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ex/slab.h"
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
    bool paged;
    uint8_t sizeClass;  // the small-block list the block goes back to, or kNotSmall
    uint32_t magic;     // past the first 16 bytes, which the C library reuses once freed
};
static_assert(sizeof(Header) == 32, "pool header keeps the alignment");

// Small blocks come from slabs of their size class (16-byte steps up to 512
// bytes of the caller's memory), as Windows places small pool blocks of one
// size together: blocks allocated one after another lie next to each other.
// A freed block goes to a list of the freeing thread and is taken from it
// again, as Windows keeps lookaside lists of small pool per processor:
// allocating and freeing one then takes no lock and touches nothing another
// thread uses; the list's overflow goes back to the slab, last freed first.
// Under AddressSanitizer every block goes to the C library, so that a use
// after a free is still caught there.
constexpr uint8_t kNotSmall = 0xFF;
constexpr size_t kSmallClasses = 32;
constexpr SIZE_T kClassStep = 16;
constexpr size_t kSmallDepth = SlabsBypassed() ? 0 : 16;  // blocks kept per class and thread

struct ClassSlabs {
    Slab slabs[kSmallClasses];
};

template <size_t... C>
constexpr ClassSlabs MakeClassSlabs(std::index_sequence<C...>)
{
    return {{Slab(sizeof(Header) + kClassStep * (C + 1), alignof(Header))...}};
}

// Constant-initialised and never destroyed in effect: threads may free pool after the statics are gone.
ClassSlabs g_classSlabs = MakeClassSlabs(std::make_index_sequence<kSmallClasses>{});

struct SmallLists {
    Header* blocks[kSmallClasses][kSmallDepth + 1];
    size_t count[kSmallClasses] = {};
    bool ended = false;  // the thread is ending: blocks go straight back to their slab

    ~SmallLists()
    {
        for (size_t c = 0; c < kSmallClasses; ++c) {
            for (size_t i = 0; i < count[c]; ++i) {
                g_classSlabs.slabs[c].Give(blocks[c][i]);
            }
            count[c] = 0;
        }
        ended = true;
    }
};
thread_local SmallLists t_small;

uint8_t SmallClass(SIZE_T size)
{
    if (SlabsBypassed() || size > kClassStep * kSmallClasses) {
        return kNotSmall;
    }
    return static_cast<uint8_t>(size == 0 ? 0 : (size - 1) / kClassStep);
}

Header* AllocateBlock(SIZE_T size, bool zero, uint8_t sizeClass)
{
    if (sizeClass == kNotSmall) {
        return static_cast<Header*>(zero ? std::calloc(1, sizeof(Header) + size) : std::malloc(sizeof(Header) + size));
    }
    SmallLists& lists = t_small;
    Header* header;
    if (lists.count[sizeClass] != 0) {
        header = lists.blocks[sizeClass][--lists.count[sizeClass]];
    } else {
        header = static_cast<Header*>(g_classSlabs.slabs[sizeClass].Take());
        if (header == nullptr) {
            return nullptr;
        }
    }
    if (zero) {
        std::memset(header + 1, 0, size);
    }
    return header;
}

void FreeBlock(Header* header)
{
    uint8_t sizeClass = header->sizeClass;
    if (sizeClass == kNotSmall) {
        std::free(header);
        return;
    }
    SmallLists& lists = t_small;
    if (!lists.ended && lists.count[sizeClass] < kSmallDepth) {
        lists.blocks[sizeClass][lists.count[sizeClass]++] = header;
        return;
    }
    g_classSlabs.slabs[sizeClass].Give(header);
}

// One thread's counts of one tag. Only the thread that owns the block writes
// them, with plain stores; readers load them at any time.
struct TagCounts {
    std::atomic<ULONG> tag{0};
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> frees{0};
    std::atomic<uint64_t> freedBytes{0};
};

void Add(std::atomic<uint64_t>& counter, uint64_t value)
{
    counter.store(counter.load(std::memory_order_relaxed) + value, std::memory_order_relaxed);
}

// The counts of one thread. Blocks are never freed: a thread that ends gives
// its block up, and a later thread adopts it and counts on from there (the
// counts are sums, so whose they are does not matter).
struct alignas(64) Block {
    static constexpr size_t kTags = 16;

    std::atomic<bool> owned{true};
    std::atomic<size_t> used{0};  // tags[0, used) are in use, published with release
    TagCounts tags[kTags];
    Block* next = nullptr;        // set before the block is published

    // The counts of a tag, added when new; nullptr when the block is full.
    TagCounts* Of(ULONG tag)
    {
        size_t n = used.load(std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i) {
            if (tags[i].tag.load(std::memory_order_relaxed) == tag) {
                return &tags[i];
            }
        }
        if (n == kTags) {
            return nullptr;
        }
        tags[n].tag.store(tag, std::memory_order_relaxed);
        used.store(n + 1, std::memory_order_release);
        return &tags[n];
    }
};

// Every block, and the counts of tags that found no room in their thread's
// block (or were counted by a thread that is ending), under a lock.
struct Counts {
    std::atomic<Block*> blocks{nullptr};
    std::mutex lock;  // adoption of blocks and the overflow counts
    struct Plain {
        uint64_t allocations = 0, bytes = 0, frees = 0, freedBytes = 0;
    };
    std::map<ULONG, Plain> overflow;
};

Counts& AllCounts()
{
    static Counts* counts = new Counts();  // never destroyed: threads may free pool after the statics are gone
    return *counts;
}

__attribute__((tls_model("initial-exec"))) thread_local Block* t_block = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_ended = false;

// Gives the thread's block up when the thread ends.
struct BlockOwner {
    Block* block = nullptr;
    ~BlockOwner()
    {
        if (block != nullptr) {
            t_block = nullptr;
            t_ended = true;
            block->owned.store(false, std::memory_order_release);
        }
    }
};
thread_local BlockOwner t_owner;

// The calling thread's block, taken at its first count; nullptr once the thread is ending.
[[gnu::noinline]] Block* TakeBlock()
{
    if (t_ended) {
        return nullptr;
    }
    Counts& counts = AllCounts();
    Block* block = nullptr;
    {
        std::lock_guard<std::mutex> guard(counts.lock);
        for (Block* b = counts.blocks.load(std::memory_order_acquire); b != nullptr; b = b->next) {
            bool owned = false;
            if (b->owned.compare_exchange_strong(owned, true, std::memory_order_acquire)) {
                block = b;
                break;
            }
        }
        if (block == nullptr) {
            block = new (std::nothrow) Block();
            if (block == nullptr) {
                return nullptr;
            }
            block->next = counts.blocks.load(std::memory_order_relaxed);
            counts.blocks.store(block, std::memory_order_release);
        }
    }
    t_owner.block = block;
    t_block = block;
    return block;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

// Counts a tag that found no room in the thread's block, or of a thread that is ending.
[[gnu::noinline]] bool CountOverflow(const Header* header, bool allocated)
{
    Counts& all = AllCounts();
    std::lock_guard<std::mutex> guard(all.lock);
    Counts::Plain* plain;
    try {
        plain = &all.overflow[header->tag];
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (allocated) {
        plain->allocations++;
        plain->bytes += header->size;
    } else {
        plain->frees++;
        plain->freedBytes += header->size;
    }
    return true;
}

// Counts an allocation or a free. False when a new tag cannot be counted (the allocation then fails).
inline bool Count(const Header* header, bool allocated)
{
    Block* block = t_block;
    if (__builtin_expect(block == nullptr, 0)) {
        block = TakeBlock();
    }
    TagCounts* counts = block != nullptr ? block->Of(header->tag) : nullptr;
    if (__builtin_expect(counts == nullptr, 0)) {
        return CountOverflow(header, allocated);
    }
    if (allocated) {
        Add(counts->allocations, 1);
        Add(counts->bytes, header->size);
    } else {
        Add(counts->frees, 1);
        Add(counts->freedBytes, header->size);
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
    uint8_t sizeClass = SmallClass(size);
    Header* header = AllocateBlock(size, zero, sizeClass);
    if (header == nullptr) {
        return nullptr;
    }
    void* p = header + 1;
    if (!zero) {
        std::memset(p, 0xCD, size);  // as the verifier's special pool would: never assume zeroed memory
    }
    *header = Header{size, tag, paged, sizeClass, kLive};
    if (!Count(header, true)) {
        header->magic = kFreed;
        FreeBlock(header);
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
    FreeBlock(header);
}

// Adds up every thread's counts of every tag: what is still allocated (live)
// or everything ever allocated.
std::map<ULONG, TagUsage> Sum(bool live)
{
    std::map<ULONG, Counts::Plain> sums;
    Counts& all = AllCounts();
    for (Block* block = all.blocks.load(std::memory_order_acquire); block != nullptr; block = block->next) {
        size_t n = block->used.load(std::memory_order_acquire);
        for (size_t i = 0; i < n; ++i) {
            const TagCounts& counts = block->tags[i];
            Counts::Plain& sum = sums[counts.tag.load(std::memory_order_relaxed)];
            sum.allocations += counts.allocations.load(std::memory_order_relaxed);
            sum.bytes += counts.bytes.load(std::memory_order_relaxed);
            sum.frees += counts.frees.load(std::memory_order_relaxed);
            sum.freedBytes += counts.freedBytes.load(std::memory_order_relaxed);
        }
    }
    {
        std::lock_guard<std::mutex> guard(all.lock);
        for (const auto& [tag, plain] : all.overflow) {
            Counts::Plain& sum = sums[tag];
            sum.allocations += plain.allocations;
            sum.bytes += plain.bytes;
            sum.frees += plain.frees;
            sum.freedBytes += plain.freedBytes;
        }
    }
    std::map<ULONG, TagUsage> result;
    for (const auto& [tag, sum] : sums) {
        TagUsage usage;
        if (!live) {
            usage = {sum.allocations, sum.bytes};
        } else if (sum.allocations > sum.frees) {
            // A free counted by another thread while these were read may look
            // like more frees than allocations: nothing is left then.
            usage = {sum.allocations - sum.frees, sum.bytes > sum.freedBytes ? sum.bytes - sum.freedBytes : 0};
        }
        if (usage.allocations != 0) {  // tags with nothing left are not listed
            result[tag] = usage;
        }
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
    return Sum(true);
}

std::map<ULONG, TagUsage> Totals()
{
    return Sum(false);
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
