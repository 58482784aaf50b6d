/* Request packets: the lookaside list, sending, completion and cancellation. */
#include "ntos/io/irp.h"

#include <cstring>

#include "base/bugcheck.h"
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
    irp->cancel.store(true, std::memory_order_seq_cst);
    CancelRoutine routine = irp->cancelRoutine.exchange(nullptr, std::memory_order_acq_rel);
    if (routine == nullptr) {
        return false;
    }
    routine(irp->device, irp);
    return true;
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
