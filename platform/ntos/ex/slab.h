/*
 * Slabs: blocks of one size carved one after another from chunks of memory
 * that hold nothing else, and handed out again last freed first. Windows
 * places small pool blocks of one size together (pages of one size class,
 * lookaside lists of one structure), so objects of one kind made one after
 * another lie next to each other; the pool's small blocks, the object
 * manager's events and the framework's memory objects come from slabs here.
 *
 * A slab only hands blocks out and takes them back: it keeps no books of
 * what is allocated (the pool and the object manager do). Chunks are kept
 * for the slab's next blocks and never given back.
 */
#pragma once
#include <cstddef>
#include <mutex>
#include <new>

namespace plat::pool {

class Slab {
public:
    // Blocks of blockBytes (a multiple of alignment, itself a power of two
    // of at least 16), each aligned to alignment.
    constexpr Slab(size_t blockBytes, size_t alignment) : blockBytes_(blockBytes), alignment_(alignment) {}
    Slab(const Slab&) = delete;
    Slab& operator=(const Slab&) = delete;

    // A block, or nullptr when no memory is left. Its contents are undefined.
    void* Take();
    // Gives a block of this slab back; the next Take hands it out first.
    void Give(void* block);

    size_t BlockBytes() const { return blockBytes_; }

private:
    struct FreeBlock {
        FreeBlock* next;
    };

    bool Grow();

    const size_t blockBytes_;
    const size_t alignment_;
    std::mutex lock_;
    FreeBlock* free_ = nullptr;   // blocks given back, last first
    char* unused_ = nullptr;      // the current chunk's blocks never handed out, up to end_
    char* end_ = nullptr;
};

// True when blocks go to the C library instead of slabs: under
// AddressSanitizer, so that a use after a free is still caught there.
constexpr bool SlabsBypassed()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

// A class's operator new and delete from a slab of the class's size; a
// block of another size (a derived class) and every block under
// AddressSanitizer go to the C++ allocator. New throws std::bad_alloc when
// no memory is left.
void* NewFromSlab(Slab& slab, size_t size, std::align_val_t alignment);
void DeleteToSlab(Slab& slab, void* block, size_t size, std::align_val_t alignment);

}  // namespace plat::pool
