/*
 * Framework objects. Every WDF handle names an FxObject through a handle table
 * whose entries carry a generation, so a handle used after its object was
 * deleted is recognised (and stops the system) rather than touching freed
 * memory. Objects form a tree: deleting one disposes of its children first,
 * in the order they were made, then of itself (each object's type-specific
 * teardown and cleanup callback), and only then destroys them all (destroy
 * callbacks, handles freed), as KMDF disposes of a tree before it releases it. An object created without attributes
 * (or without a parent) is a child of the driver object.
 */
#pragma once
#include <wdf.h>
#include <atomic>
#include <mutex>

#include "base/hostlock.h"
#include <string>
#include <vector>

namespace plat::wdf {

enum class FxType : uint8_t {
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Memory,
    SpinLock,
    WorkItem,
    IoTarget,
    Key,
    String,
};
const char* FxTypeName(FxType type);  // "WDFDEVICE", ...

struct FxObject;

struct alignas(64) ChildShard {
    HostLock lock;
    FxObject* first = nullptr;
};
constexpr size_t kChildShards = 8;

// A cache line or more of its own: objects of different threads (a memory
// object made per request) never share one with each other or with the
// device, queue and contexts that every request reads.
struct alignas(64) FxObject {
    FxObject(FxType type, FxObject* parent, const WDF_OBJECT_ATTRIBUTES* attributes);
    virtual ~FxObject();
    FxObject(const FxObject&) = delete;
    FxObject& operator=(const FxObject&) = delete;

    // Type-specific teardown, after the children and before the cleanup callback.
    virtual void OnDelete() {}
    // Whether the driver may delete the object with WdfObjectDelete.
    virtual bool DriverMayDelete() const { return true; }
    // A line for leak reports ("WDFMEMORY 0x... (524 bytes, tag Tvrx)").
    virtual std::string Describe() const;

    const FxType type;
    WDFOBJECT handle = nullptr;
    FxObject* parent = nullptr;
    void* context = nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;

    // Children, in shards made with the first child. A child is linked into
    // the shard of the thread that made it (childShard), so that threads making
    // and deleting children of one parent at once (the driver's memory objects)
    // take different locks and touch different cache lines. Linked through
    // siblingPrev/siblingNext under the shard's lock.
    std::atomic<ChildShard*> children{nullptr};
    FxObject* siblingPrev = nullptr;
    FxObject* siblingNext = nullptr;
    uint8_t childShard = 0;
    std::atomic<bool> deleting{false};
    // When the object was made, among all objects: its parent disposes of its
    // children in that order.
    uint64_t serial = 0;
    // The deletion that disposed of it (a token of that deletion's own), which
    // destroys it once the whole tree is disposed of. A parent's deletion
    // skips only the children its own deletion disposed of: one disposed of by
    // another thread's deletion is still to be unlinked by that thread, and
    // the parent waits for that.
    std::atomic<const void*> disposedBy{nullptr};
};

// Calls visit(child) for every child of parent, under the lock of the child's
// shard: visit must be short and must neither make nor delete objects.
template <class Visit>
void ForEachChild(const FxObject* parent, Visit visit)
{
    ChildShard* shards = parent->children.load(std::memory_order_acquire);
    if (shards == nullptr) {
        return;
    }
    for (size_t i = 0; i < kChildShards; ++i) {
        std::lock_guard<HostLock> guard(shards[i].lock);
        for (FxObject* child = shards[i].first; child != nullptr; child = child->siblingNext) {
            visit(child);
        }
    }
}

// Registers a newly constructed object: gives it a handle and links it to its parent.
// Allocates the typed context given by the attributes (zero-filled).
NTSTATUS Register(FxObject* object, const WDF_OBJECT_ATTRIBUTES* attributes);

// Deletes an object and its children (cleanup callbacks first, then destroy callbacks).
// Until the whole tree is disposed of, a child already disposed of is still
// there and its handle still resolves.
void Delete(FxObject* object);

// For tests that need an order a scheduler rarely gives: called on the
// deleting thread once an object has left its parent and its handle is freed,
// just before the object is destroyed (nullptr: no hook).
void SetBeforeDestroyHook(void (*hook)(FxObject* object));

// The object a handle names. Stops the system (WDF_VIOLATION) when the handle is
// NULL, was never issued, names a deleted object, or names an object of another type.
FxObject* Resolve(WDFOBJECT handle, const char* routine);
FxObject* Resolve(WDFOBJECT handle, FxType expected, const char* routine);

template <class T>
T* ResolveAs(WDFOBJECT handle, FxType expected, const char* routine)
{
    return static_cast<T*>(Resolve(handle, expected, routine));
}

// The parent an object gets from its attributes: the attribute's ParentObject, or the driver.
FxObject* ParentFromAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine);

// Checks a WDF_OBJECT_ATTRIBUTES record handed in by the driver (size, levels).
void ValidateAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine);

// A description of each live framework object (leak reports).
void DescribeLiveObjects(std::vector<std::string>& out);

}  // namespace plat::wdf
