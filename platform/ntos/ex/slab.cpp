/* Slabs of same-sized blocks, carved from chunks in address order. */
#include "ntos/ex/slab.h"

#include <cstdlib>

namespace plat::pool {
namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kPageBytes = 4096;

}  // namespace

bool Slab::Grow()
{
    size_t bytes = kChunkBytes;
    if (bytes / blockBytes_ < 16) {
        bytes = (16 * blockBytes_ + kPageBytes - 1) / kPageBytes * kPageBytes;
    }
    size_t alignment = alignment_ > kPageBytes ? alignment_ : kPageBytes;
    auto* chunk = static_cast<char*>(std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment));
    if (chunk == nullptr) {
        return false;
    }
    unused_ = chunk;
    end_ = chunk + bytes / blockBytes_ * blockBytes_;
    return true;
}

void* Slab::Take()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (free_ != nullptr) {
        FreeBlock* block = free_;
        free_ = block->next;
        return block;
    }
    if ((unused_ == nullptr || end_ - unused_ < static_cast<ptrdiff_t>(blockBytes_)) && !Grow()) {
        return nullptr;
    }
    void* block = unused_;
    unused_ += blockBytes_;
    return block;
}

void Slab::Give(void* block)
{
    auto* freed = static_cast<FreeBlock*>(block);
    std::lock_guard<std::mutex> guard(lock_);
    freed->next = free_;
    free_ = freed;
}

void* NewFromSlab(Slab& slab, size_t size, std::align_val_t alignment)
{
    if (SlabsBypassed() || size != slab.BlockBytes()) {
        return ::operator new(size, alignment);
    }
    void* block = slab.Take();
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void DeleteToSlab(Slab& slab, void* block, size_t size, std::align_val_t alignment)
{
    if (SlabsBypassed() || size != slab.BlockBytes()) {
        ::operator delete(block, alignment);  // the unsized form: clang declares the sized one only with -fsized-deallocation
        return;
    }
    slab.Give(block);
}

}  // namespace plat::pool
