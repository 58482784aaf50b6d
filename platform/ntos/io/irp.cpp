/* Request packets: the lookaside list, sending, completion and cancellation. */
#include "ntos/io/irp.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "base/bugcheck.h"
#include "ntos/ke/irql.h"
#include "machine/clock.h"
#include "ntos/ps/process.h"

namespace plat::io {
namespace {

// MULTIPLE_IRP_COMPLETE_REQUESTS.
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
// A system buffer larger than this is given back with its packet.
constexpr size_t kKeptStorage = 64 * 1024;

// Packets are never deleted: a completion may still be waking a waiter of a
// packet that its sender has freed (and perhaps reused). A thread that ends
// gives its free packets to a shared pool that later threads take from.
struct SharedPool {
    std::mutex lock;
    std::vector<Irp*> free;
};

SharedPool& Shared()
{
    static SharedPool* pool = new SharedPool();  // lives as long as the process
    return *pool;
}

// In the thread's own storage (no heap block that could share a cache line
// with another thread's data). Past kKept, and once the thread is ending,
// packets go to the shared pool.
constexpr size_t kKept = 16;

struct Lookaside {
    Irp* free[kKept];
    size_t count = 0;
    bool ended = false;

    ~Lookaside()
    {
        ended = true;
        SharedPool& pool = Shared();
        std::lock_guard<std::mutex> guard(pool.lock);
        pool.free.insert(pool.free.end(), free, free + count);
        count = 0;
    }
};

Irp* TakeFromPool()
{
    SharedPool& pool = Shared();
    std::lock_guard<std::mutex> guard(pool.lock);
    if (pool.free.empty()) {
        return new Irp();
    }
    Irp* irp = pool.free.back();
    pool.free.pop_back();
    return irp;
}

// The library is loaded with the program, so its thread-locals can live in static TLS (no lookup call).
__attribute__((tls_model("initial-exec"))) thread_local Lookaside t_lookaside;
__attribute__((tls_model("initial-exec"))) thread_local uint64_t t_threadId = 0;
std::atomic<uint64_t> g_nextThreadId{1};

NTSTATUS InvalidRequest(DeviceObject*, Irp* irp) { return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST); }

// The lock of a thread's list: held only for a push, an erase or a look at
// the list, nearly always by the thread itself, so it spins instead of
// sleeping (what Windows does at raised IRQL); a mutex here cost every
// request two system-library calls.
class ListLock {
public:
    void lock()
    {
        while (held_.exchange(true, std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// A thread's packets (the thread's IRP list). A packet is taken off only
// under the list's lock, and freed only after that: whoever holds the lock
// may look at the packets on it.
struct ThreadIrps {
    uint64_t thread = 0;
    ListLock lock;
    std::vector<Irp*> irps;
};

// Every thread's list, and where the waits for cancelled packets to finish wait.
struct ThreadDirectory {
    std::mutex lock;
    std::vector<std::shared_ptr<ThreadIrps>> threads;
    std::mutex finishedLock;
    std::condition_variable finished;
    std::atomic<int> finishWaiters{0};
};

ThreadDirectory& Threads()
{
    static ThreadDirectory* directory = new ThreadDirectory();  // lives as long as the process
    return *directory;
}

// The thread's own list, made when it first sends a packet; a thread that
// ends cancels what is still on it and waits for it, as thread exit does.
struct ThreadSlot {
    std::shared_ptr<ThreadIrps> irps;

    ~ThreadSlot()
    {
        if (irps == nullptr) {
            return;
        }
        IoCancelThreadIo();
        ThreadDirectory& directory = Threads();
        std::lock_guard<std::mutex> guard(directory.lock);
        directory.threads.erase(std::remove(directory.threads.begin(), directory.threads.end(), irps),
                                directory.threads.end());
    }
};
thread_local ThreadSlot t_irps;

// Runs a cancel routine taken from its packet, at DISPATCH_LEVEL (as with
// the cancel spin lock held).
void RunCancelRoutine(Irp* irp, CancelRoutine routine)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    routine(irp->device, irp);
    KeLowerIrql(old);
}

// Marks the chosen packets of every list cancelled and runs their cancel
// routines; how many were chosen. Under the list's lock a packet cannot be
// finished; once its routine is taken, only the routine may finish it.
template <class Choose>
size_t CancelChosen(Choose choose)
{
    std::vector<std::pair<Irp*, CancelRoutine>> routines;
    size_t chosen = 0;
    {
        ThreadDirectory& directory = Threads();
        std::lock_guard<std::mutex> guard(directory.lock);
        for (const std::shared_ptr<ThreadIrps>& list : directory.threads) {
            std::lock_guard<ListLock> listGuard(list->lock);
            for (Irp* irp : list->irps) {
                if (!choose(list->thread, irp)) {
                    continue;
                }
                ++chosen;
                irp->cancel.store(true, std::memory_order_seq_cst);
                if (CancelRoutine routine = irp->cancelRoutine.exchange(nullptr, std::memory_order_acq_rel)) {
                    routines.emplace_back(irp, routine);
                }
            }
        }
    }
    for (auto [irp, routine] : routines) {
        RunCancelRoutine(irp, routine);
    }
    return chosen;
}

// Waits until no packet that choose picks is on any list.
template <class Choose>
void WaitUntilFinished(Choose choose)
{
    ThreadDirectory& directory = Threads();
    auto anyLeft = [&directory, &choose] {
        std::lock_guard<std::mutex> guard(directory.lock);
        for (const std::shared_ptr<ThreadIrps>& list : directory.threads) {
            std::lock_guard<ListLock> listGuard(list->lock);
            for (Irp* irp : list->irps) {
                if (choose(list->thread, irp)) {
                    return true;
                }
            }
        }
        return false;
    };
    directory.finishWaiters.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(directory.finishedLock);
        directory.finished.wait(lock, [&anyLeft] { return !anyLeft(); });
    }
    directory.finishWaiters.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace

uint64_t ThreadId()
{
    if (t_threadId == 0) {
        t_threadId = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
    return t_threadId;
}

Irp* IoAllocateIrp(size_t systemBufferSize, KPROCESSOR_MODE mode)
{
    Irp* irp;
    if (t_lookaside.count != 0) {
        irp = t_lookaside.free[--t_lookaside.count];
    } else {
        irp = TakeFromPool();
    }
    irp->major = irp->minor = 0;
    irp->requestorMode = mode;
    irp->process = &CurrentProcess();
    irp->thread = ThreadId();
    irp->file = nullptr;
    irp->device = nullptr;
    irp->ioControlCode = irp->inputLength = irp->outputLength = 0;
    irp->accessFlags = 0;
    irp->userBuffer = nullptr;
    irp->userInput = nullptr;
    irp->queryInterface = {};
    irp->status = STATUS_SUCCESS;
    irp->information = 0;
    std::memset(irp->driverContext, 0, sizeof irp->driverContext);
    irp->cancel.store(false, std::memory_order_relaxed);
    irp->cancelRoutine.store(nullptr, std::memory_order_relaxed);
    irp->userApcContext = nullptr;
    irp->synchronousApi = false;
    irp->completionCount = 0;
    irp->completed.store(false, std::memory_order_relaxed);
    irp->systemBuffer = nullptr;
    if (systemBufferSize != 0) {
        if (systemBufferSize <= sizeof irp->inlineStorage) {
            irp->systemBuffer = irp->inlineStorage;
        } else {
            if (irp->storage.size() < systemBufferSize) {
                irp->storage.resize(systemBufferSize);
            }
            irp->systemBuffer = irp->storage.data();
        }
        // Packets are recycled: nothing of an earlier request may show.
        std::memset(irp->systemBuffer, 0, systemBufferSize);
    }
    return irp;
}

void IoFreeIrp(Irp* irp)
{
    if (irp->storage.capacity() > kKeptStorage) {
        std::vector<UCHAR>().swap(irp->storage);
    }
    if (t_lookaside.ended || t_lookaside.count == kKept) {
        SharedPool& pool = Shared();
        std::lock_guard<std::mutex> guard(pool.lock);
        pool.free.push_back(irp);
    } else {
        t_lookaside.free[t_lookaside.count++] = irp;
    }
}

NTSTATUS IoCallDriver(DeviceObject* device, Irp* irp)
{
    if (device == nullptr || device->driver == nullptr) {
        BugCheck(0xDEADDEAD, "IoCallDriver without a device to send to");
    }
    irp->device = device;
    DispatchRoutine dispatch = device->driver->majorFunction[irp->major < kMjCount ? irp->major : 0];
    if (irp->major >= kMjCount || dispatch == nullptr) {
        dispatch = InvalidRequest;
    }
    return dispatch(device, irp);
}

void IoSetCompletionRoutine(Irp* irp, DeviceObject* device, CompletionRoutine routine, void* context)
{
    if (irp->completionCount == static_cast<int>(sizeof irp->completions / sizeof irp->completions[0])) {
        BugCheck(0xDEADDEAD, "IoSetCompletionRoutine: the packet has no stack location left");
    }
    irp->completions[irp->completionCount++] = {routine, device, context};
}

void IoCompleteRequest(Irp* irp)
{
    if (irp->status == STATUS_PENDING) {
        BugCheck(kMultipleIrpCompleteRequests, "IoCompleteRequest with STATUS_PENDING");
    }
    while (irp->completionCount > 0) {
        Irp::Completion next = irp->completions[--irp->completionCount];
        if (next.routine(next.device, irp, next.context) == STATUS_MORE_PROCESSING_REQUIRED) {
            return;  // the routine's owner has taken the packet back
        }
    }
    if (irp->completed.exchange(true, std::memory_order_acq_rel)) {
        BugCheck(kMultipleIrpCompleteRequests, "a request packet was completed twice");
    }
    if (irp->waiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> guard(irp->waitLock);
        irp->done.notify_all();
    }
}

NTSTATUS CompleteWith(Irp* irp, NTSTATUS status, ULONG_PTR information)
{
    irp->status = status;
    irp->information = information;
    IoCompleteRequest(irp);
    return status;
}

CancelRoutine IoSetCancelRoutine(Irp* irp, CancelRoutine routine)
{
    return irp->cancelRoutine.exchange(routine, std::memory_order_acq_rel);
}

bool IoCancelIrp(Irp* irp)
{
    RequireIrql(DISPATCH_LEVEL, "IoCancelIrp");
    irp->cancel.store(true, std::memory_order_seq_cst);
    CancelRoutine routine = irp->cancelRoutine.exchange(nullptr, std::memory_order_acq_rel);
    if (routine == nullptr) {
        return false;
    }
    RunCancelRoutine(irp, routine);
    return true;
}

bool IoQueueThreadIrp(Irp* irp)
{
    if (t_irps.irps == nullptr) {
        auto list = std::make_shared<ThreadIrps>();
        list->thread = ThreadId();
        ThreadDirectory& directory = Threads();
        std::lock_guard<std::mutex> guard(directory.lock);
        directory.threads.push_back(list);
        t_irps.irps = std::move(list);
    }
    ThreadIrps* list = t_irps.irps.get();
    // Under the list's lock: process exit marks the process ending before it
    // cancels what is on the lists, so a packet is either seen by that pass or
    // refused here.
    std::lock_guard<ListLock> guard(list->lock);
    if (irp->process != nullptr && irp->process->Exited()) {
        return false;
    }
    list->irps.push_back(irp);
    irp->threadList = list;
    return true;
}

void IoDequeueThreadIrp(Irp* irp)
{
    auto* list = static_cast<ThreadIrps*>(irp->threadList);
    if (list == nullptr) {
        return;
    }
    {
        std::lock_guard<ListLock> guard(list->lock);
        list->irps.erase(std::find(list->irps.begin(), list->irps.end(), irp));
        irp->threadList = nullptr;
    }
    ThreadDirectory& directory = Threads();
    if (directory.finishWaiters.load(std::memory_order_seq_cst) != 0) {
        std::lock_guard<std::mutex> guard(directory.finishedLock);
        directory.finished.notify_all();
    }
}

void IoCancelThreadIo()
{
    RequirePassive("IoCancelThreadIo");
    if (t_irps.irps == nullptr) {
        return;
    }
    const uint64_t self = ThreadId();
    auto ofThisThread = [self](uint64_t thread, const Irp*) { return thread == self; };
    CancelChosen(ofThisThread);
    WaitUntilFinished(ofThisThread);
}

size_t IoCancelFileIo(const Process* process, const FileObject* file, const void* key)
{
    return CancelChosen([=](uint64_t, const Irp* irp) {
        return irp->process == process && irp->file == file && (key == nullptr || irp->userApcContext == key);
    });
}

size_t IoCancelSynchronousIo(uint64_t thread)
{
    return CancelChosen([thread](uint64_t sender, const Irp* irp) { return sender == thread && irp->synchronousApi; });
}

void IoCancelProcessIo(const Process* process)
{
    RequirePassive("process exit");
    auto ofProcess = [process](uint64_t, const Irp* irp) { return irp->process == process; };
    CancelChosen(ofProcess);
    WaitUntilFinished(ofProcess);
}

bool WaitForIrp(Irp* irp, const Clock* clock, const LONGLONG* deadline)
{
    if (irp->completed.load(std::memory_order_acquire)) {
        return true;
    }
    irp->waiters.fetch_add(1, std::memory_order_seq_cst);
    bool done;
    {
        std::unique_lock<std::mutex> lock(irp->waitLock);
        auto completed = [irp] { return irp->completed.load(std::memory_order_acquire); };
        if (deadline == nullptr) {
            irp->done.wait(lock, completed);
            done = true;
        } else {
            done = clock->WaitFor(lock, irp->done, *deadline - clock->Now(), completed);
        }
    }
    irp->waiters.fetch_sub(1, std::memory_order_seq_cst);
    return done;
}

}  // namespace plat::io
