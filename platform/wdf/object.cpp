/*
 * Framework object core: the handle table, the object tree, typed contexts
 * and WdfObjectDelete / WdfObjectGetTypedContextWorker.
 *
 * The handle table is a two-level array of slots. A handle encodes a slot
 * index and the slot's generation; deleting an object bumps the generation,
 * so a stale handle never resolves. Lookups take no lock, and threads take and
 * give back slots in batches.
 */
#include "wdf/object.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <deque>
#include <thread>
#include <vector>

#include "base/bugcheck.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "wdf/driver.h"
#include "wdf/request.h"

namespace plat::wdf {
namespace {

constexpr uint32_t kChunkBits = 12;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kMaxChunks = 4096;

// A slot has a cache line of its own: threads that make and delete objects
// at once write their slots, and neighbours in the table may be another's.
struct alignas(64) Slot {
    std::atomic<uint32_t> generation{1};
    std::atomic<FxObject*> object{nullptr};
};

struct HandleTable {
    std::atomic<Slot*> chunks[kMaxChunks] = {};
    std::mutex lock;  // guards allocation of slots and chunks
    std::deque<uint32_t> freeSlots;
    uint32_t nextSlot = 0;
};

HandleTable& Table()
{
    static HandleTable* table = new HandleTable();  // lives for the process: handles may be checked at exit
    return *table;
}

Slot* SlotAt(uint32_t index)
{
    Slot* chunk = Table().chunks[index >> kChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk[index & (kChunkSize - 1)] : nullptr;
}

// Takes a slot for a new object, under the table's lock.
uint32_t TakeSlotLocked(HandleTable& t)
{
    // Reuse a slot only when many are free, so a stale handle's slot is rarely reused soon.
    if (t.freeSlots.size() > 1024) {
        uint32_t index = t.freeSlots.front();
        t.freeSlots.pop_front();
        return index;
    }
    uint32_t index = t.nextSlot++;
    if ((index >> kChunkBits) >= kMaxChunks) {
        BugCheck(0xDEADDEAD, "framework handle table exhausted");
    }
    if (t.chunks[index >> kChunkBits].load() == nullptr) {
        t.chunks[index >> kChunkBits].store(new Slot[kChunkSize], std::memory_order_release);
    }
    return index;
}

// Slots move between a thread and the table in batches, so threads that
// create and delete objects at once (a memory object per request on a
// parallel queue) rarely meet on the table's lock. A freed slot waits here
// before it joins the table's queue of free slots, which only delays its reuse.
constexpr size_t kSlotBatch = 32;

struct SlotCache {
    std::vector<uint32_t> ready;  // taken from the table, not yet used
    std::vector<uint32_t> freed;  // given back, not yet in the table's queue

    ~SlotCache()
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        t.freeSlots.insert(t.freeSlots.end(), freed.begin(), freed.end());
        t.freeSlots.insert(t.freeSlots.end(), ready.begin(), ready.end());
    }
};

thread_local SlotCache t_slots;

uint32_t AllocateSlot()
{
    SlotCache& cache = t_slots;
    if (cache.ready.empty()) {
        HandleTable& t = Table();
        cache.ready.reserve(kSlotBatch);
        std::lock_guard<std::mutex> guard(t.lock);
        for (size_t i = 0; i < kSlotBatch; ++i) {
            cache.ready.push_back(TakeSlotLocked(t));
        }
        std::reverse(cache.ready.begin(), cache.ready.end());  // handed out in the order taken
    }
    uint32_t index = cache.ready.back();
    cache.ready.pop_back();
    return index;
}

void FreeSlot(uint32_t index)
{
    SlotCache& cache = t_slots;
    cache.freed.push_back(index);
    if (cache.freed.size() >= kSlotBatch) {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        t.freeSlots.insert(t.freeSlots.end(), cache.freed.begin(), cache.freed.end());
        cache.freed.clear();
    }
}

WDFOBJECT Encode(uint32_t index, uint32_t generation)
{
    uint64_t value = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(index + 1) << 4);
    return reinterpret_cast<WDFOBJECT>(value);
}

bool Decode(WDFOBJECT handle, uint32_t* index, uint32_t* generation)
{
    uint64_t value = reinterpret_cast<uint64_t>(handle);
    uint64_t low = value & 0xFFFFFFFFu;
    if ((low & 0xF) != 0 || (low >> 4) == 0) {
        return false;
    }
    *index = static_cast<uint32_t>((low >> 4) - 1);
    *generation = static_cast<uint32_t>(value >> 32);
    return true;
}

std::string HandleText(WDFOBJECT handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// The shard a thread links the children it makes into.
uint8_t ThreadChildShard() { return static_cast<uint8_t>(ThreadIndex() % kChildShards); }

// The parent's shards, made with its first child; nullptr when they cannot be.
ChildShard* ShardsOf(FxObject* parent)
{
    ChildShard* shards = parent->children.load(std::memory_order_acquire);
    if (shards != nullptr) {
        return shards;
    }
    auto* made = new (std::nothrow) ChildShard[kChildShards];
    if (made == nullptr) {
        return nullptr;
    }
    if (!parent->children.compare_exchange_strong(shards, made, std::memory_order_acq_rel)) {
        delete[] made;
        return shards;
    }
    return made;
}

bool Link(FxObject* parent, FxObject* child)
{
    ChildShard* shards = ShardsOf(parent);
    if (shards == nullptr) {
        return false;
    }
    child->childShard = ThreadChildShard();
    ChildShard& shard = shards[child->childShard];
    std::lock_guard<HostLock> guard(shard.lock);
    child->siblingPrev = nullptr;
    child->siblingNext = shard.first;
    if (shard.first) {
        shard.first->siblingPrev = child;
    }
    shard.first = child;
    return true;
}

void Unlink(FxObject* child)
{
    FxObject* parent = child->parent;
    if (parent == nullptr) {
        return;
    }
    ChildShard& shard = parent->children.load(std::memory_order_acquire)[child->childShard];
    std::lock_guard<HostLock> guard(shard.lock);
    if (child->siblingPrev) {
        child->siblingPrev->siblingNext = child->siblingNext;
    } else {
        shard.first = child->siblingNext;
    }
    if (child->siblingNext) {
        child->siblingNext->siblingPrev = child->siblingPrev;
    }
    child->siblingPrev = child->siblingNext = nullptr;
}

bool SameContextType(PCWDF_OBJECT_CONTEXT_TYPE_INFO a, PCWDF_OBJECT_CONTEXT_TYPE_INFO b)
{
    if (a == b) {
        return true;
    }
    // The same type declared in another image (a test that includes the driver's header).
    return a && b && a->ContextSize == b->ContextSize && a->ContextName && b->ContextName &&
           std::strcmp(a->ContextName, b->ContextName) == 0;
}

const int g_reporter = verifier::AddReporter("framework objects", [](std::vector<std::string>& findings) {
    DescribeLiveObjects(findings);
});

}  // namespace

const char* FxTypeName(FxType type)
{
    switch (type) {
    case FxType::Driver: return "WDFDRIVER";
    case FxType::Device: return "WDFDEVICE";
    case FxType::Queue: return "WDFQUEUE";
    case FxType::Request: return "WDFREQUEST";
    case FxType::FileObject: return "WDFFILEOBJECT";
    case FxType::Memory: return "WDFMEMORY";
    case FxType::SpinLock: return "WDFSPINLOCK";
    case FxType::WorkItem: return "WDFWORKITEM";
    case FxType::IoTarget: return "WDFIOTARGET";
    case FxType::Key: return "WDFKEY";
    case FxType::String: return "WDFSTRING";
    }
    return "WDFOBJECT";
}

FxObject::FxObject(FxType type_, FxObject* parent_, const WDF_OBJECT_ATTRIBUTES* attributes)
    : type(type_), parent(parent_)
{
    if (attributes != nullptr) {
        cleanup = attributes->EvtCleanupCallback;
        destroy = attributes->EvtDestroyCallback;
        contextType = attributes->ContextTypeInfo ? attributes->ContextTypeInfo->UniqueType : nullptr;
    }
}

FxObject::~FxObject()
{
    delete[] children.load(std::memory_order_acquire);
    std::free(context);
}

std::string FxObject::Describe() const { return std::string(FxTypeName(type)) + " " + HandleText(handle); }

void ValidateAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine)
{
    if (attributes == nullptr) {
        return;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        WdfViolation("object attributes", std::string(routine) + ": WDF_OBJECT_ATTRIBUTES.Size is " +
                                              std::to_string(attributes->Size) + " (not initialised?)");
    }
    if (attributes->ExecutionLevel == WdfExecutionLevelInvalid ||
        attributes->SynchronizationScope == WdfSynchronizationScopeInvalid) {
        WdfViolation("object attributes", std::string(routine) + ": invalid execution level or synchronization scope");
    }
    if (attributes->ContextTypeInfo && attributes->ContextTypeInfo->UniqueType == nullptr) {
        WdfViolation("object attributes", std::string(routine) + ": context type without type information");
    }
}

FxObject* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine)
{
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        return Resolve(attributes->ParentObject, routine);
    }
    FxDriver* driver = CurrentDriver();
    if (driver == nullptr) {
        WdfViolation("no driver", std::string(routine) + " called with no framework driver object");
    }
    return driver;
}

NTSTATUS Register(FxObject* object, const WDF_OBJECT_ATTRIBUTES* attributes)
{
    if (attributes != nullptr && attributes->ContextTypeInfo != nullptr) {
        const WDF_OBJECT_CONTEXT_TYPE_INFO* info = attributes->ContextTypeInfo->UniqueType;
        size_t size = attributes->ContextSizeOverride > info->ContextSize ? attributes->ContextSizeOverride
                                                                            : info->ContextSize;
        object->context = std::calloc(1, size ? size : 1);
        if (object->context == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    uint32_t index = AllocateSlot();
    Slot* slot = SlotAt(index);
    object->handle = Encode(index, slot->generation.load(std::memory_order_relaxed));
    slot->object.store(object, std::memory_order_release);
    if (object->parent != nullptr && !Link(object->parent, object)) {
        slot->object.store(nullptr, std::memory_order_release);
        FreeSlot(index);
        object->handle = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Claims an object for deletion, so that a direct deletion and the deletion
// of its parent never both take it: whoever sets the flag first deletes it.
static bool Claim(FxObject* object) { return !object->deleting.exchange(true); }

static void DeleteClaimed(FxObject* object);

void Delete(FxObject* object)
{
    if (Claim(object)) {
        DeleteClaimed(object);
    }
}

static void DeleteClaimed(FxObject* object)
{
    for (;;) {
        FxObject* child = nullptr;
        bool othersDeleting = false;
        // A child stays linked (and allocated) until its deleter unlinks it under its shard's lock.
        ForEachChild(object, [&](FxObject* c) {
            if (child != nullptr) {
                return;
            }
            if (!c->deleting.exchange(true)) {
                child = c;
            } else {
                othersDeleting = true;
            }
        });
        if (child != nullptr) {
            DeleteClaimed(child);
        } else if (othersDeleting) {
            std::this_thread::yield();  // another thread is deleting a child: let it unlink
        } else {
            break;
        }
    }
    object->OnDelete();
    if (object->cleanup) {
        object->cleanup(object->handle);
    }
    if (object->destroy) {
        object->destroy(object->handle);
    }
    Unlink(object);
    uint32_t index = 0, generation = 0;
    Decode(object->handle, &index, &generation);
    Slot* slot = SlotAt(index);
    slot->object.store(nullptr, std::memory_order_release);
    slot->generation.fetch_add(1, std::memory_order_release);
    FreeSlot(index);
    delete object;
}

FxObject* Resolve(WDFOBJECT handle, const char* routine)
{
    if (handle == nullptr) {
        WdfViolation("NULL handle", std::string(routine) + " was given a NULL framework handle");
    }
    uint32_t index = 0, generation = 0;
    Slot* slot = nullptr;
    if (!Decode(handle, &index, &generation) || (index >> kChunkBits) >= kMaxChunks ||
        (slot = SlotAt(index)) == nullptr) {
        WdfViolation("invalid handle", std::string(routine) + " was given " + HandleText(handle) +
                                           ", which is not a framework handle");
    }
    FxObject* object = slot->object.load(std::memory_order_acquire);
    if (object == nullptr || slot->generation.load(std::memory_order_acquire) != generation) {
        WdfViolation("deleted handle used", std::string(routine) + " was given " + HandleText(handle) +
                                                ", whose object has been deleted");
    }
    return object;
}

FxObject* Resolve(WDFOBJECT handle, FxType expected, const char* routine)
{
    FxObject* object = Resolve(handle, routine);
    if (object->type != expected) {
        WdfViolation("wrong handle type", std::string(routine) + " expects a " + FxTypeName(expected) +
                                              " but was given " + object->Describe());
    }
    return object;
}


void DescribeLiveObjects(std::vector<std::string>& out)
{
    HandleTable& t = Table();
    uint32_t end;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        end = t.nextSlot;
    }
    for (uint32_t index = 0; index < end; ++index) {
        Slot* slot = SlotAt(index);
        FxObject* object = slot ? slot->object.load(std::memory_order_acquire) : nullptr;
        if (object != nullptr) {
            out.push_back("framework object not deleted: " + object->Describe());
        }
    }
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

VOID WdfObjectDelete(WDFOBJECT Object)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxObject* object = Resolve(Object, __func__);
    if (!object->DriverMayDelete()) {
        plat::WdfViolation("object the driver may not delete",
                           std::string("WdfObjectDelete on ") + object->Describe() +
                               ", which the framework deletes itself");
    }
    Delete(object);
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    FxObject* object = IsRequestHandle(Handle) ? ResolveRequestForContext(Handle, __func__) : Resolve(Handle, __func__);
    if (object->context == nullptr || !SameContextType(object->contextType, TypeInfo)) {
        plat::WdfViolation("context type", object->Describe() + " has no context of type " +
                                               (TypeInfo && TypeInfo->ContextName ? TypeInfo->ContextName : "?"));
    }
    return object->context;
}

}  // extern "C"
