/* Framework memory objects: a pool buffer with its type, tag and size. */
#pragma once
#include <new>

#include "wdf/object.h"

namespace plat::wdf {

struct FxMemory : FxObject {
    FxMemory(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes, POOL_TYPE poolType, ULONG tag, size_t size,
             PVOID buffer);
    void OnDelete() override;
    std::string Describe() const override;

    // Memory objects come from a slab of their own, through a short list of
    // the calling thread (they are made and deleted once per request by
    // drivers that want scratch memory).
    static void* operator new(size_t size, std::align_val_t alignment);
    static void operator delete(void* p, size_t size, std::align_val_t alignment);

    POOL_TYPE poolType;
    ULONG tag;
    size_t size;
    PVOID buffer;
};

}  // namespace plat::wdf
