/*
 * Framework work items on system worker threads.
 *
 * An enqueued item runs once on one of the system worker threads at
 * PASSIVE_LEVEL; enqueuing an item that is already waiting does nothing.
 * Deleting an item that waits cancels it; deleting one that runs on another
 * thread waits for its callback to return; an item may delete itself from its
 * own callback. The parent's synchronization scope decides automatic
 * serialization; devices here set none, so items of one device may overlap.
 */
#include "wdf/workitem.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/object.h"

namespace plat::wdf {
namespace {

enum class ItemState { Idle, Queued, Running };

struct FxWorkItem;

class WorkerPool {
public:
    static WorkerPool& Instance()
    {
        static WorkerPool* pool = new WorkerPool();  // never destroyed: workers may outlive static destructors
        return *pool;
    }

    std::mutex lock;
    std::condition_variable work;
    std::condition_variable idle;
    std::deque<FxWorkItem*> queue;
    size_t running = 0;  // callbacks executing now

    void Start()
    {
        std::lock_guard<std::mutex> guard(startLock_);
        if (!threads_.empty()) {
            return;
        }
        for (unsigned i = 0; i < kThreads; ++i) {
            threads_.emplace_back([this] { Run(); });
            threads_.back().detach();
        }
    }

private:
    static constexpr unsigned kThreads = 4;
    void Run();
    std::mutex startLock_;
    std::vector<std::thread> threads_;
};

thread_local FxWorkItem* t_running = nullptr;
thread_local bool t_runningDeleted = false;

struct FxWorkItem : FxObject {
    FxWorkItem(FxObject* parent_, const WDF_OBJECT_ATTRIBUTES* attributes, const WDF_WORKITEM_CONFIG& config_)
        : FxObject(FxType::WorkItem, parent_, attributes), config(config_)
    {
    }

    void OnDelete() override
    {
        WorkerPool& pool = WorkerPool::Instance();
        std::unique_lock<std::mutex> guard(pool.lock);
        if (state == ItemState::Queued) {
            for (auto it = pool.queue.begin(); it != pool.queue.end(); ++it) {
                if (*it == this) {
                    pool.queue.erase(it);
                    break;
                }
            }
            state = ItemState::Idle;
        } else if (state == ItemState::Running) {
            if (t_running == this) {
                t_runningDeleted = true;  // deleting itself: the worker must not touch it afterwards
            } else {
                pool.idle.wait(guard, [this] { return state != ItemState::Running; });
            }
        }
    }

    WDF_WORKITEM_CONFIG config;
    ItemState state = ItemState::Idle;  // guarded by the pool's lock
};

void WorkerPool::Run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        work.wait(guard, [this] { return !queue.empty(); });
        FxWorkItem* item = queue.front();
        queue.pop_front();
        item->state = ItemState::Running;
        ++running;
        PFN_WDF_WORKITEM callback = item->config.EvtWorkItemFunc;
        auto handle = static_cast<WDFWORKITEM>(item->handle);
        guard.unlock();

        t_running = item;
        t_runningDeleted = false;
        callback(handle);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "work item callback returned at a raised IRQL");
        }
        bool deleted = t_runningDeleted;
        t_running = nullptr;

        guard.lock();
        --running;
        if (!deleted && item->state == ItemState::Running) {
            item->state = ItemState::Idle;
        }
        idle.notify_all();
    }
}

}  // namespace

bool WaitForWorkItemsIdle(std::chrono::milliseconds timeout)
{
    WorkerPool& pool = WorkerPool::Instance();
    std::unique_lock<std::mutex> guard(pool.lock);
    return pool.idle.wait_for(guard, timeout, [&pool] { return pool.queue.empty() && pool.running == 0; });
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
        plat::WdfViolation("work item attributes", "a work item needs a parent object (a device or a queue)");
    }
    ValidateAttributes(Attributes, __func__);
    FxObject* parent = Resolve(Attributes->ParentObject, __func__);
    if (parent->type != FxType::Device && parent->type != FxType::Queue) {
        plat::WdfViolation("work item parent", "a work item's parent must be a device or a queue, not " +
                                                   parent->Describe());
    }
    *WorkItem = nullptr;
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
    std::lock_guard<std::mutex> guard(pool.lock);
    if (item->state == ItemState::Queued) {
        return;
    }
    item->state = ItemState::Queued;
    pool.queue.push_back(item);
    pool.work.notify_one();
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    return ResolveAs<FxWorkItem>(WorkItem, FxType::WorkItem, __func__)->parent->handle;
}

VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    plat::RequirePassive(__func__);
    auto* item = ResolveAs<FxWorkItem>(WorkItem, FxType::WorkItem, __func__);
    WorkerPool& pool = WorkerPool::Instance();
    std::unique_lock<std::mutex> guard(pool.lock);
    pool.idle.wait(guard, [item] { return item->state == ItemState::Idle; });
}

}  // extern "C"
