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
constexpr size_t kLine = 64;

// A slot has a cache line of its own: threads that make and delete objects
// at once write their slots, and neighbours in the table may be another's.
struct alignas(64) Slot {
    std::atomic<uint32_t> generation{1};
    std::atomic<FxObject*> object{nullptr};
};

// The chunks live in a zero-initialised global, so a lookup is two loads
// with no guard of a function-local static in front of them.
std::atomic<Slot*> g_chunks[kMaxChunks] = {};

struct HandleTable {
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
    Slot* chunk = g_chunks[index >> kChunkBits].load(std::memory_order_acquire);
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
    if (g_chunks[index >> kChunkBits].load() == nullptr) {
        g_chunks[index >> kChunkBits].store(new Slot[kChunkSize], std::memory_order_release);
    }
    return index;
}

// Each thread keeps the slots of the objects it deletes and reuses them
// itself, the oldest first and only once kReuseDelay newer ones wait behind
// it (a stale handle's slot is rarely reused soon). So threads that create
// and delete objects at once (a memory object per request on a parallel
// queue) neither meet on the table's lock nor pass slots, and the cache lines
// they sit on, between them. New slots come from the table in batches; a
// thread that ends gives its slots back to the table.
constexpr size_t kSlotBatch = 32;
constexpr size_t kReuseDelay = 1024;

struct SlotCache {
    uint32_t ready[kSlotBatch];     // may be used now: ready[0, readyCount)
    size_t readyCount = 0;
    uint32_t waiting[kReuseDelay];  // freed, oldest at waitingHead once the ring is full
    size_t waitingCount = 0;
    size_t waitingHead = 0;
    bool gone = false;  // the thread is ending: slots go straight to and from the table

    ~SlotCache()
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        for (size_t i = 0; i < waitingCount; ++i) {
            t.freeSlots.push_back(waiting[(waitingHead + i) % kReuseDelay]);
        }
        t.freeSlots.insert(t.freeSlots.end(), ready, ready + readyCount);
        readyCount = waitingCount = 0;
        gone = true;
    }
};

thread_local SlotCache t_slots;

uint32_t AllocateSlot()
{
    SlotCache& cache = t_slots;
    if (cache.readyCount == 0) {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        if (cache.gone) {
            return TakeSlotLocked(t);
        }
        for (size_t i = kSlotBatch; i > 0; --i) {
            cache.ready[i - 1] = TakeSlotLocked(t);  // handed out in the order taken
        }
        cache.readyCount = kSlotBatch;
    }
    return cache.ready[--cache.readyCount];
}

void FreeSlot(uint32_t index)
{
    SlotCache& cache = t_slots;
    if (cache.gone) {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        t.freeSlots.push_back(index);
        return;
    }
    if (cache.waitingCount < kReuseDelay) {
        cache.waiting[(cache.waitingHead + cache.waitingCount++) % kReuseDelay] = index;
        return;
    }
    // The ring is full: its oldest slot may be used again, the new one takes its place.
    uint32_t oldest = cache.waiting[cache.waitingHead];
    cache.waiting[cache.waitingHead] = index;
    cache.waitingHead = (cache.waitingHead + 1) % kReuseDelay;
    if (cache.readyCount < kSlotBatch) {
        cache.ready[cache.readyCount++] = oldest;
        return;
    }
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.freeSlots.push_back(oldest);
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

// The shard a thread links the children it makes into: the one fewest live
// threads that make objects use, taken at the thread's first object and given
// up when it ends. Threads that make objects at the same time thus get
// shards of their own however many other threads the process has (a shard
// picked from a thread number would put two of them together whenever their
// numbers were kChildShards apart).
std::atomic<int> g_shardUsers[kChildShards] = {};

struct ChildShardOfThread {
    uint8_t shard = 0;
    bool chosen = false;

    uint8_t Get()
    {
        if (!chosen) {
            size_t best = 0;
            for (size_t i = 1; i < kChildShards; ++i) {
                if (g_shardUsers[i].load(std::memory_order_relaxed) < g_shardUsers[best].load(std::memory_order_relaxed)) {
                    best = i;
                }
            }
            g_shardUsers[best].fetch_add(1, std::memory_order_relaxed);
            shard = static_cast<uint8_t>(best);
            chosen = true;
        }
        return shard;
    }
    ~ChildShardOfThread()
    {
        if (chosen) {
            g_shardUsers[shard].fetch_sub(1, std::memory_order_relaxed);
        }
    }
};
thread_local ChildShardOfThread t_childShard;

uint8_t ThreadChildShard() { return t_childShard.Get(); }

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

static std::atomic<uint64_t> g_nextSerial{1};

FxObject::FxObject(FxType type_, FxObject* parent_, const WDF_OBJECT_ATTRIBUTES* attributes)
    : type(type_), parent(parent_), serial(g_nextSerial.fetch_add(1, std::memory_order_relaxed))
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
        // Whole cache lines: a context that every request reads shares none with what other threads write.
        size_t lines = ((size ? size : 1) + kLine - 1) & ~(kLine - 1);
        object->context = std::aligned_alloc(kLine, lines);
        if (object->context == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(object->context, 0, lines);
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

static std::atomic<void (*)(FxObject*)> beforeDestroy{nullptr};

void SetBeforeDestroyHook(void (*hook)(FxObject* object)) { beforeDestroy.store(hook, std::memory_order_release); }

void Delete(FxObject* object)
{
    if (Claim(object)) {
        DeleteClaimed(object);
    }
}

// The children are disposed of first, oldest first, then the object itself;
// each is kept (linked, its handle resolving) until the deletion that
// disposed of it destroys the tree. So a device's default I/O target, made
// with the device, goes before its work items, and a work item still running
// when its device is deleted (the item's disposal waits for it) sends through
// a target that is removed but still there (fxobjectstatemachine.cpp: the
// child list is walked from its head, children being added at its tail in
// fxobject.cpp, and a child is released only after its parent is disposed of).
// The object's own disposal, once its children are disposed of, by the
// deletion the token names.
static void DisposeSelf(FxObject* object, const void* deletion)
{
    object->OnDelete();
    if (object->cleanup) {
        object->cleanup(object->handle);
    }
    object->disposedBy.store(deletion, std::memory_order_release);
}

static void DisposeClaimed(FxObject* object, std::vector<FxObject*>& disposed)
{
    std::vector<FxObject*> claimed;
    for (;;) {
        bool othersDeleting = false;
        // A child stays linked (and allocated) until its deleter unlinks it under its shard's lock.
        ForEachChild(object, [&](FxObject* c) {
            if (c->disposedBy.load(std::memory_order_acquire) == &disposed) {
                return;  // this deletion's own: destroyed with the tree
            }
            if (!c->deleting.exchange(true)) {
                claimed.push_back(c);
            } else {
                othersDeleting = true;
            }
        });
        if (!claimed.empty()) {
            std::sort(claimed.begin(), claimed.end(),
                      [](const FxObject* a, const FxObject* b) { return a->serial < b->serial; });
            for (FxObject* child : claimed) {
                DisposeClaimed(child, disposed);
            }
            claimed.clear();
        } else if (othersDeleting) {
            std::this_thread::yield();  // another thread is deleting a child: let it unlink
        } else {
            break;
        }
    }
    DisposeSelf(object, &disposed);
    disposed.push_back(object);
}

static void Destroy(FxObject* object)
{
    if (object->destroy) {
        object->destroy(object->handle);
    }
    Unlink(object);
    uint32_t index = 0, generation = 0;
    Decode(object->handle, &index, &generation);
    Slot* slot = SlotAt(index);
    slot->object.store(nullptr, std::memory_order_release);
    // Only the thread that claimed the object changes its slot now: no read-modify-write needed.
    slot->generation.store(slot->generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    FreeSlot(index);
    if (auto hook = beforeDestroy.load(std::memory_order_acquire)) {
        hook(object);
    }
    delete object;
}

static void DeleteClaimed(FxObject* object)
{
    // An object nothing was ever made under (a request's scratch memory, most
    // objects) goes alone, without a list of the disposed to keep.
    if (object->children.load(std::memory_order_acquire) == nullptr) {
        DisposeSelf(object, object);
        Destroy(object);
        return;
    }
    // Children before their parents: each is unlinked from a parent that is still there.
    std::vector<FxObject*> disposed;
    DisposeClaimed(object, disposed);
    for (FxObject* each : disposed) {
        Destroy(each);
    }
}

// Why a handle does not resolve; out of the way of the calls that resolve.
[[noreturn, gnu::noinline, gnu::cold]] static void BadHandle(WDFOBJECT handle, const char* routine)
{
    if (handle == nullptr) {
        WdfViolation("NULL handle", std::string(routine) + " was given a NULL framework handle");
    }
    uint32_t index = 0, generation = 0;
    if (!Decode(handle, &index, &generation) || (index >> kChunkBits) >= kMaxChunks || SlotAt(index) == nullptr) {
        WdfViolation("invalid handle", std::string(routine) + " was given " + HandleText(handle) +
                                           ", which is not a framework handle");
    }
    WdfViolation("deleted handle used", std::string(routine) + " was given " + HandleText(handle) +
                                            ", whose object has been deleted");
}

[[noreturn, gnu::noinline, gnu::cold]] static void WrongType(FxObject* object, FxType expected, const char* routine)
{
    WdfViolation("wrong handle type", std::string(routine) + " expects a " + FxTypeName(expected) +
                                          " but was given " + object->Describe());
}

FxObject* Resolve(WDFOBJECT handle, const char* routine)
{
    uint32_t index = 0, generation = 0;
    Slot* slot;
    if (__builtin_expect(handle != nullptr && Decode(handle, &index, &generation) &&
                             (index >> kChunkBits) < kMaxChunks && (slot = SlotAt(index)) != nullptr,
                         1)) {
        FxObject* object = slot->object.load(std::memory_order_acquire);
        if (__builtin_expect(object != nullptr && slot->generation.load(std::memory_order_acquire) == generation, 1)) {
            return object;
        }
    }
    BadHandle(handle, routine);
}

FxObject* Resolve(WDFOBJECT handle, FxType expected, const char* routine)
{
    FxObject* object = Resolve(handle, routine);
    if (__builtin_expect(object->type != expected, 0)) {
        WrongType(object, expected, routine);
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
