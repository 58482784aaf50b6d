/* Framework memory objects over tracked pool. */
#include "wdf/memory.h"

#include <cstring>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ex/pool.h"
#include "ntos/ex/slab.h"
#include "ntos/ke/irql.h"
#include "wdf/driver.h"

namespace plat::wdf {
namespace {

// Memory objects come from a slab of their own, so that those made one after
// another lie next to each other, and those a thread deletes wait in a list
// of the thread for its next ones. Under AddressSanitizer every object goes
// back to the allocator, so that a use after a delete is still caught there.
constexpr size_t kKept = plat::pool::SlabsBypassed() ? 0 : 16;

plat::pool::Slab g_memorySlab(sizeof(FxMemory), alignof(FxMemory));

struct KeptObjects {
    void* objects[kKept + 1];
    size_t count = 0;
    bool ended = false;  // the thread is ending: objects go straight back to the slab

    ~KeptObjects()
    {
        for (size_t i = 0; i < count; ++i) {
            g_memorySlab.Give(objects[i]);
        }
        count = 0;
        ended = true;
    }
};
thread_local KeptObjects t_kept;

}  // namespace

void* FxMemory::operator new(size_t size, std::align_val_t alignment)
{
    KeptObjects& kept = t_kept;
    if (size == sizeof(FxMemory) && kept.count != 0) {
        return kept.objects[--kept.count];
    }
    return plat::pool::NewFromSlab(g_memorySlab, size, alignment);
}

void FxMemory::operator delete(void* p, size_t size, std::align_val_t alignment)
{
    KeptObjects& kept = t_kept;
    if (size == sizeof(FxMemory) && !kept.ended && kept.count < kKept) {
        kept.objects[kept.count++] = p;
        return;
    }
    plat::pool::DeleteToSlab(g_memorySlab, p, size, alignment);
}

FxMemory::FxMemory(FxObject* parent_, const WDF_OBJECT_ATTRIBUTES* attributes, POOL_TYPE poolType_, ULONG tag_,
                   size_t size_, PVOID buffer_)
    : FxObject(FxType::Memory, parent_, attributes), poolType(poolType_), tag(tag_), size(size_), buffer(buffer_)
{
}

void FxMemory::OnDelete()
{
    ExFreePoolWithTag(buffer, tag);
    buffer = nullptr;
}

std::string FxMemory::Describe() const
{
    return FxObject::Describe() + " (" + std::to_string(size) + " bytes, tag '" + pool::TagText(tag) + "')";
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer)
{
    plat::RequireIrql((PoolType & 1) ? APC_LEVEL : DISPATCH_LEVEL, __func__);
    if (Memory == nullptr) {
        plat::WdfViolation("memory", "WdfMemoryCreate without a location for the handle");
    }
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    ValidateAttributes(Attributes, __func__);
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = plat::fault::Check("WdfMemoryCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FxObject* parent = ParentFromAttributes(Attributes, __func__);
    ULONG tag = PoolTag != 0 ? PoolTag : DriverPoolTag();
    PVOID buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* memory = new FxMemory(parent, Attributes, PoolType, tag, BufferSize, buffer);
    status = Register(memory, Attributes);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, tag);
        delete memory;
        return status;
    }
    *Memory = static_cast<WDFMEMORY>(memory->handle);
    if (Buffer != nullptr) {
        *Buffer = buffer;
    }
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    auto* memory = ResolveAs<FxMemory>(Memory, FxType::Memory, __func__);
    if (BufferSize != nullptr) {
        *BufferSize = memory->size;
    }
    return memory->buffer;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo)
{
    auto* memory = ResolveAs<FxMemory>(SourceMemory, FxType::Memory, __func__);
    if (Buffer == nullptr || SourceOffset > memory->size || NumBytesToCopyTo > memory->size - SourceOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(Buffer, static_cast<char*>(memory->buffer) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom)
{
    auto* memory = ResolveAs<FxMemory>(DestinationMemory, FxType::Memory, __func__);
    if (Buffer == nullptr || DestinationOffset > memory->size ||
        NumBytesToCopyFrom > memory->size - DestinationOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(static_cast<char*>(memory->buffer) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

}  // extern "C"
