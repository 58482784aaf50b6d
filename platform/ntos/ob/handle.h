/*
 * A handle table: one per process, plus the kernel's. Handle values are
 * multiples of 4 (the two low bits are ignored, as on Windows); kernel handles
 * carry the top bit. A freed slot goes to the back of a queue and is reused
 * only once many others are free, so a stale handle is usually invalid.
 *
 * Lookups take no lock: an entry holds its object pointer together with a
 * count of references that the handle has already taken on the object, so a
 * lookup acquires one of them with a single compare-and-swap. When the cache
 * runs dry it is refilled under the table's lock. Inserting and closing take
 * the table's lock.
 */
#pragma once
#include <wdm.h>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace plat::ob {

struct Object;

class HandleTable {
public:
    // serial spreads the tables' first slots apart, so that a handle value of
    // one process rarely names anything in another.
    HandleTable(bool kernel, uint32_t serial);
    ~HandleTable();  // closes what is still open
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    bool IsKernel() const { return kernel_; }

    // Adds a handle that takes a reference of its own; NULL when the table is full.
    HANDLE Insert(Object* object, ACCESS_MASK granted);
    // STATUS_INVALID_HANDLE when the handle is not open in this table.
    NTSTATUS Close(HANDLE handle);
    // The object with one reference for the caller, or nullptr.
    Object* Reference(HANDLE handle, ACCESS_MASK* granted);
    // Closes every handle (process exit).
    void CloseAll();

    size_t Count() const;
    // Calls fn for each open handle (reports); fn must not use the table.
    void ForEach(const std::function<void(HANDLE, Object*, ACCESS_MASK)>& fn) const;

private:
    // One cache line each: threads using different handles do not contend.
    struct alignas(64) Entry {
        std::atomic<uint64_t> word{0};  // object pointer | cached references << 48
        std::atomic<ACCESS_MASK> access{0};
    };
    static constexpr uint32_t kPageBits = 10;
    static constexpr uint32_t kPageSize = 1u << kPageBits;
    static constexpr uint32_t kPages = 512;
    static constexpr uint32_t kCapacity = kPageSize * kPages;

    Entry* EntryAt(uint32_t index) const;
    bool Decode(HANDLE handle, uint32_t* index) const;
    HANDLE Encode(uint32_t index) const;
    bool AllocateIndex(uint32_t* index);
    Object* Detach(uint32_t index, uint64_t* cached);
    static void ReleaseDetached(Object* object, uint64_t cached);

    const bool kernel_;
    std::atomic<Entry*> pages_[kPages] = {};
    mutable std::mutex lock_;  // insert, close, cache refills
    std::deque<uint32_t> free_;
    uint32_t next_;   // next never-used index (wraps)
    uint32_t fresh_;  // never-used indexes left
    size_t count_ = 0;
};

}  // namespace plat::ob
