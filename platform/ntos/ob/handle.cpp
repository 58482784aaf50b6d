/* Handle tables with lock-free lookups (see handle.h). */
#include "ntos/ob/handle.h"

#include <vector>

#include "base/bugcheck.h"
#include "ntos/ob/object.h"

namespace plat::ob {
namespace {

constexpr int kCountShift = 48;
constexpr uint64_t kPointerMask = (uint64_t{1} << kCountShift) - 1;
constexpr uint64_t kOneCached = uint64_t{1} << kCountShift;
// References a handle takes ahead for its lookups; refilled when used up.
constexpr uint64_t kCache = 0x4000;
// A freed slot is reused only when this many are waiting.
constexpr size_t kReuseDelay = 1024;
constexpr uint64_t kKernelBits = 0xFFFFFFFF80000000ull;

uint64_t Pack(Object* object, uint64_t cached)
{
    auto pointer = reinterpret_cast<uint64_t>(object);
    if ((pointer & ~kPointerMask) != 0) {
        BugCheck(REFERENCE_BY_POINTER, "object address does not fit a handle entry", pointer);
    }
    return pointer | (cached << kCountShift);
}

Object* PointerOf(uint64_t word) { return reinterpret_cast<Object*>(word & kPointerMask); }

}  // namespace

HandleTable::HandleTable(bool kernel, uint32_t serial)
    : kernel_(kernel), next_(1 + (serial * 4099u) % (kCapacity / 2)), fresh_(kCapacity - 1)
{
}

HandleTable::~HandleTable()
{
    CloseAll();
    for (auto& page : pages_) {
        delete[] page.load(std::memory_order_relaxed);
    }
}

HandleTable::Entry* HandleTable::EntryAt(uint32_t index) const
{
    Entry* page = pages_[index >> kPageBits].load(std::memory_order_acquire);
    return page ? &page[index & (kPageSize - 1)] : nullptr;
}

bool HandleTable::Decode(HANDLE handle, uint32_t* index) const
{
    auto value = reinterpret_cast<uint64_t>(handle);
    if (kernel_) {
        if ((value & kKernelBits) != kKernelBits) {
            return false;
        }
        value &= ~kKernelBits;
    } else if (value > 0xFFFFFFFFull) {
        return false;
    }
    uint64_t i = value >> 2;
    if (i == 0 || i >= kCapacity) {
        return false;
    }
    *index = static_cast<uint32_t>(i);
    return true;
}

HANDLE HandleTable::Encode(uint32_t index) const
{
    uint64_t value = static_cast<uint64_t>(index) << 2;
    return reinterpret_cast<HANDLE>(kernel_ ? (value | kKernelBits) : value);
}

bool HandleTable::AllocateIndex(uint32_t* index)
{
    if ((free_.size() >= kReuseDelay || fresh_ == 0) && !free_.empty()) {
        *index = free_.front();
        free_.pop_front();
        return true;
    }
    if (fresh_ == 0) {
        return false;
    }
    *index = next_;
    next_ = next_ + 1 < kCapacity ? next_ + 1 : 1;
    --fresh_;
    auto& page = pages_[*index >> kPageBits];
    if (page.load(std::memory_order_relaxed) == nullptr) {
        page.store(new Entry[kPageSize], std::memory_order_release);
    }
    return true;
}

HANDLE HandleTable::Insert(Object* object, ACCESS_MASK granted)
{
    uint32_t index = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!AllocateIndex(&index)) {
            return nullptr;
        }
        object->references.fetch_add(static_cast<LONG_PTR>(1 + kCache), std::memory_order_relaxed);
        object->handleCount.fetch_add(1, std::memory_order_relaxed);
        Entry* entry = EntryAt(index);
        entry->access.store(granted, std::memory_order_relaxed);
        entry->word.store(Pack(object, kCache), std::memory_order_release);
        ++count_;
    }
    return Encode(index);
}

Object* HandleTable::Reference(HANDLE handle, ACCESS_MASK* granted)
{
    uint32_t index = 0;
    Entry* entry;
    if (!Decode(handle, &index) || (entry = EntryAt(index)) == nullptr) {
        return nullptr;
    }
    uint64_t word = entry->word.load(std::memory_order_acquire);
    for (;;) {
        Object* object = PointerOf(word);
        if (object == nullptr) {
            return nullptr;
        }
        if ((word >> kCountShift) != 0) {
            if (entry->word.compare_exchange_weak(word, word - kOneCached, std::memory_order_acquire)) {
                *granted = entry->access.load(std::memory_order_relaxed);
                return object;
            }
            continue;
        }
        // The cache is empty: refill it under the lock, where the handle cannot be closed.
        std::lock_guard<std::mutex> guard(lock_);
        word = entry->word.load(std::memory_order_acquire);
        if (PointerOf(word) != object || (word >> kCountShift) != 0) {
            continue;
        }
        object->references.fetch_add(static_cast<LONG_PTR>(kCache), std::memory_order_relaxed);
        entry->word.store(Pack(object, kCache - 1), std::memory_order_release);
        *granted = entry->access.load(std::memory_order_relaxed);
        return object;
    }
}

Object* HandleTable::Detach(uint32_t index, uint64_t* cached)
{
    Entry* entry = EntryAt(index);
    if (entry == nullptr) {
        return nullptr;
    }
    uint64_t word = entry->word.exchange(0, std::memory_order_acq_rel);
    Object* object = PointerOf(word);
    if (object != nullptr) {
        *cached = word >> kCountShift;
        free_.push_back(index);
        --count_;
    }
    return object;
}

void HandleTable::ReleaseDetached(Object* object, uint64_t cached)
{
    if (object->handleCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        object->OnLastHandleClosed();
    }
    DereferenceBy(object, static_cast<LONG_PTR>(1 + cached));
}

NTSTATUS HandleTable::Close(HANDLE handle)
{
    uint32_t index = 0;
    if (!Decode(handle, &index)) {
        return STATUS_INVALID_HANDLE;
    }
    Object* object;
    uint64_t cached = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        object = Detach(index, &cached);
    }
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    // Outside the lock: the close path may run driver callbacks that use handles.
    ReleaseDetached(object, cached);
    return STATUS_SUCCESS;
}

void HandleTable::CloseAll()
{
    std::vector<std::pair<Object*, uint64_t>> detached;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (uint32_t page = 0; page < kPages; ++page) {
            if (pages_[page].load(std::memory_order_relaxed) == nullptr) {
                continue;
            }
            for (uint32_t slot = 0; slot < kPageSize; ++slot) {
                uint64_t cached = 0;
                if (Object* object = Detach(page * kPageSize + slot, &cached)) {
                    detached.emplace_back(object, cached);
                }
            }
        }
    }
    for (auto& [object, cached] : detached) {
        ReleaseDetached(object, cached);
    }
}

size_t HandleTable::Count() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
}

void HandleTable::ForEach(const std::function<void(HANDLE, Object*, ACCESS_MASK)>& fn) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (uint32_t page = 0; page < kPages; ++page) {
        Entry* entries = pages_[page].load(std::memory_order_relaxed);
        if (entries == nullptr) {
            continue;
        }
        for (uint32_t slot = 0; slot < kPageSize; ++slot) {
            uint64_t word = entries[slot].word.load(std::memory_order_acquire);
            if (Object* object = PointerOf(word)) {
                fn(Encode(page * kPageSize + slot), object, entries[slot].access.load(std::memory_order_relaxed));
            }
        }
    }
}

}  // namespace plat::ob
