/* Framework memory objects: a pool buffer with its type, tag and size. */
#pragma once
#include "wdf/object.h"

namespace plat::wdf {

struct FxMemory : FxObject {
    FxMemory(FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes, POOL_TYPE poolType, ULONG tag, size_t size,
             PVOID buffer);
    void OnDelete() override;
    std::string Describe() const override;

    POOL_TYPE poolType;
    ULONG tag;
    size_t size;
    PVOID buffer;
};

}  // namespace plat::wdf
