/*
 * Framework work items on system worker threads, as KMDF's FxWorkItem has them.
 *
 * An enqueued item runs once on one of the system worker threads at
 * PASSIVE_LEVEL; enqueuing an item that is already waiting does nothing, and
 * its callback may enqueue it again. Deleting an item (directly, or with its
 * parent) waits until it is neither queued nor running: a queued item still
 * runs first. Deleting an item, or flushing it, from its own callback does not
 * wait for itself. An item may be parented to any object that has a device
 * among its ancestors (the device, a queue, a memory object of the device,
 * ...). The parent's synchronization scope decides automatic serialization;
 * devices here set none, so items of one device may overlap.
 */
#include "wdf/workitem.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/object.h"

namespace plat::wdf {
namespace {

struct FxWorkItem;

class WorkerPool {
public:
    static WorkerPool& Instance()
    {
        static WorkerPool* pool = new WorkerPool();  // never destroyed: workers may outlive static destructors
        return *pool;
    }

    std::mutex lock;
    std::condition_variable idle;
    std::deque<FxWorkItem*> queue;
    size_t running = 0;  // callbacks executing now
    size_t waiting = 0;  // threads waiting for an item to finish
    size_t holds = 0;    // WorkerHolds alive: no queued item is taken

    // Waits until the item is done (pred); caller holds guard on lock.
    template <class Pred>
    void WaitFor(std::unique_lock<std::mutex>& guard, Pred pred)
    {
        ++waiting;
        idle.wait(guard, pred);
        --waiting;
    }

    void Start()
    {
        std::lock_guard<std::mutex> guard(startLock_);
        if (!threads_.empty()) {
            return;
        }
        for (unsigned i = 0; i < kSystemWorkerThreads; ++i) {
            threads_.emplace_back([this] { Run(); });
            threads_.back().detach();
        }
    }

    // A worker thread with nothing to run waits on its own slot. The slot of
    // the thread that began waiting last is woken first, as a kernel queue
    // releases its waiting threads (last in, first out): the thread that ran
    // most recently runs the next item, with its caches still warm. The slots
    // live as long as their threads, which never end.
    struct Sleeper {
        std::condition_variable wake;
        bool woken = false;
    };

    // Caller holds lock; the caller notifies the slot (*sleeper) after letting the lock go.
    Sleeper* TakeSleeper()
    {
        if (sleepers_.empty()) {
            return nullptr;
        }
        Sleeper* sleeper = sleepers_.back();
        sleepers_.pop_back();
        sleeper->woken = true;
        return sleeper;
    }

    // Caller holds lock; the caller notifies each slot after letting the lock go.
    std::vector<Sleeper*> TakeAllSleepers()
    {
        for (Sleeper* sleeper : sleepers_) {
            sleeper->woken = true;
        }
        return std::exchange(sleepers_, {});
    }

    // Caller holds lock.
    void Unqueue(FxWorkItem* item)
    {
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (*it == item) {
                queue.erase(it);
                return;
            }
        }
    }

private:
    void Run();
    void Sleep(std::unique_lock<std::mutex>& guard, Sleeper& self);
    std::vector<Sleeper*> sleepers_;  // guarded by lock; the last began waiting last
    std::mutex startLock_;
    std::vector<std::thread> threads_;
};

// The item whose callback this worker thread runs, and whether the callback
// deleted it (the worker must not touch it afterwards then).
thread_local FxWorkItem* t_running = nullptr;
thread_local bool t_runningDeleted = false;

struct FxWorkItem : FxObject {
    FxWorkItem(FxObject* parent_, const WDF_OBJECT_ATTRIBUTES* attributes, const WDF_WORKITEM_CONFIG& config_)
        : FxObject(FxType::WorkItem, parent_, attributes), config(config_)
    {
    }

    bool Idle() const { return !queued && running == 0; }

    // The item runs down: it is never queued again, and the deletion waits
    // until it has run (FxWorkItem::Dispose and FlushAndRundown). From its own
    // callback it waits only for other runs of it, never for itself.
    void OnDelete() override
    {
        WorkerPool& pool = WorkerPool::Instance();
        std::unique_lock<std::mutex> guard(pool.lock);
        runningDown = true;
        if (t_running == this) {
            // Enqueued again by this very callback: the item is going, so that
            // run is dropped rather than left to a deleted object.
            if (queued) {
                pool.Unqueue(this);
                queued = false;
            }
            pool.WaitFor(guard, [this] { return running <= 1; });
            t_runningDeleted = true;
            return;
        }
        pool.WaitFor(guard, [this] { return Idle(); });
    }

    WDF_WORKITEM_CONFIG config;
    // Guarded by the pool's lock.
    bool queued = false;
    size_t running = 0;
    bool runningDown = false;
};

// Caller holds guard on lock.
void WorkerPool::Sleep(std::unique_lock<std::mutex>& guard, Sleeper& self)
{
    self.woken = false;
    sleepers_.push_back(&self);
    self.wake.wait(guard, [&self] { return self.woken; });
}

void WorkerPool::Run()
{
    Sleeper self;
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        while (queue.empty() || holds != 0) {
            Sleep(guard, self);
        }
        FxWorkItem* item = queue.front();
        queue.pop_front();
        // Marked not queued before the callback, which may enqueue it again.
        item->queued = false;
        ++item->running;
        ++running;
        PFN_WDF_WORKITEM callback = item->config.EvtWorkItemFunc;
        auto handle = static_cast<WDFWORKITEM>(item->handle);
        guard.unlock();

        t_running = item;
        t_runningDeleted = false;
        callback(handle);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            // The system worker thread's own check: the routine, the IRQL, the item.
            BugCheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL, "work item callback returned at a raised IRQL",
                     reinterpret_cast<ULONG_PTR>(callback), KeGetCurrentIrql(), reinterpret_cast<ULONG_PTR>(handle));
        }
        bool deleted = t_runningDeleted;
        t_running = nullptr;

        guard.lock();
        --running;
        if (!deleted) {
            --item->running;
        }
        idle.notify_all();
    }
}

// The device the object belongs to: itself or its nearest device ancestor.
FxObject* DeviceOf(FxObject* object)
{
    for (; object != nullptr; object = object->parent) {
        if (object->type == FxType::Device) {
            return object;
        }
    }
    return nullptr;
}

}  // namespace

bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout)
{
    WorkerPool& pool = WorkerPool::Instance();
    std::unique_lock<std::mutex> guard(pool.lock);
    return pool.idle.wait_for(guard, timeout, [&pool] { return pool.queue.empty() && pool.running == 0; });
}

WorkerHold::WorkerHold()
{
    WorkerPool& pool = WorkerPool::Instance();
    std::lock_guard<std::mutex> guard(pool.lock);
    ++pool.holds;
}

WorkerHold::~WorkerHold()
{
    WorkerPool& pool = WorkerPool::Instance();
    std::vector<WorkerPool::Sleeper*> sleepers;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (--pool.holds == 0) {
            sleepers = pool.TakeAllSleepers();
        }
    }
    for (WorkerPool::Sleeper* sleeper : sleepers) {
        sleeper->wake.notify_one();
    }
}

WorkItemLoad CurrentWorkItemLoad()
{
    WorkerPool& pool = WorkerPool::Instance();
    std::lock_guard<std::mutex> guard(pool.lock);
    WorkItemLoad load;
    load.queued = pool.queue.size();
    load.running = pool.running;
    load.waiting = pool.waiting;
    return load;
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || Config->EvtWorkItemFunc == nullptr) {
        plat::WdfViolation("work item config", "WdfWorkItemCreate needs an initialised WDF_WORKITEM_CONFIG");
    }
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        plat::WdfViolation("work item attributes", "a work item needs a parent object (a device or an object under one)");
    }
    ValidateAttributes(Attributes, __func__);
    FxObject* parent = Resolve(Attributes->ParentObject, __func__);
    *WorkItem = nullptr;
    // KMDF looks for the device among the parent's ancestors and refuses a
    // parent that has none (the driver object, an object of the driver).
    if (DeviceOf(parent) == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = plat::fault::Check("WdfWorkItemCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* item = new FxWorkItem(parent, Attributes, *Config);
    status = Register(item, Attributes);
    if (!NT_SUCCESS(status)) {
        delete item;
        return status;
    }
    *WorkItem = static_cast<WDFWORKITEM>(item->handle);
    return STATUS_SUCCESS;
}

VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    auto* item = ResolveAs<FxWorkItem>(WorkItem, FxType::WorkItem, __func__);
    WorkerPool& pool = WorkerPool::Instance();
    pool.Start();
    WorkerPool::Sleeper* sleeper;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        // Already waiting: once is enough. Running down (its deletion has begun):
        // KMDF ignores the call.
        if (item->queued || item->runningDown) {
            return;
        }
        item->queued = true;
        pool.queue.push_back(item);
        sleeper = pool.holds == 0 ? pool.TakeSleeper() : nullptr;
    }
    // Woken after the lock is let go, so the worker does not wake only to wait for it.
    if (sleeper != nullptr) {
        sleeper->wake.notify_one();
    }
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    return ResolveAs<FxWorkItem>(WorkItem, FxType::WorkItem, __func__)->parent->handle;
}

VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    plat::RequirePassive(__func__);
    auto* item = ResolveAs<FxWorkItem>(WorkItem, FxType::WorkItem, __func__);
    // From the item's own callback KMDF returns at once (the wait would be
    // for itself: it traces an error and breaks only under a debugger).
    if (t_running == item) {
        return;
    }
    WorkerPool& pool = WorkerPool::Instance();
    std::unique_lock<std::mutex> guard(pool.lock);
    pool.WaitFor(guard, [item] { return item->Idle(); });
}

}  // extern "C"
