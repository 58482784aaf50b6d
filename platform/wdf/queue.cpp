/*
 * Framework I/O queues: a queue as the driver configures it, presenting
 * requests to the driver, holding them while a power-managed queue is
 * stopped, and stopping and starting queues with the device's power state
 * (one queue as FxIoQueue; the queues of a device as the I/O package keeps
 * them).
 *
 * A request marks the queue it is presented on (presentedOn) before it looks
 * at whether the queue is powered; a power-down clears "powered" before it
 * looks at the marks. Both sides use sequentially consistent operations, so
 * either the request sees the queue stopped and is held, or the power-down
 * sees the request and waits for it: no lock is needed on the way in. Held
 * requests are kept under the queue's hold lock, where a power-up takes them.
 *
 * A held request's packet has the queue's cancel routine, as a request the
 * framework holds has (FxIrpQueue): whoever clears the routine from the
 * packet owns the request. A power-up, purge or file cleanup clears it under
 * the hold lock while the request is still on the held list; a request whose
 * routine is already gone stays on the list for the routine, which takes it
 * off under the same lock and completes it with STATUS_CANCELLED
 * (FxIoQueue::CancelForQueue, for a request the driver has not been
 * presented). So nothing looks at a request's packet once the request has
 * left the list to be completed: a completed packet is recycled at once, and
 * may carry another request's cancel routine by then. The routine runs at
 * DISPATCH_LEVEL; so do the request's cleanup callback and its completion on
 * that path.
 */
#include "wdf/queue.h"

#include <algorithm>
#include <chrono>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/fileobject.h"
#include "wdf/request.h"

namespace plat::wdf {
namespace {

void WakeDrainWaiter(FxQueue* queue)
{
    if (queue->drainWaiters.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        queue->holdWake.notify_all();
    }
}

enum class Entry { Presented, Held, Refused, Cancelled };

NTSTATUS Cancel(FxRequest* request);

// The cancel routine of a held request's packet. DISPATCH_LEVEL; called by
// IoCancelIrp. Whoever took the routine owns the request, so the request is
// still on the held list; while the routine completes it, the queue counts
// it, and a purge waits for the count before the queue may go.
void CancelHeld(io::DeviceObject*, io::Irp* irp)
{
    auto* request = static_cast<FxRequest*>(irp->driverContext[0]);
    FxQueue* queue = request->queue;
    {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        queue->held.erase(std::find(queue->held.begin(), queue->held.end(), request));
        ++queue->cancelling;
    }
    Cancel(request);
    std::lock_guard<std::mutex> guard(queue->holdLock);
    --queue->cancelling;
    queue->holdWake.notify_all();
}

// Holds the request in the queue, its packet cancellable; false when the
// packet was cancelled before it could be (the caller cancels the request).
// Under the queue's hold lock.
bool Hold(FxQueue* queue, FxRequest* request)
{
    io::Irp* irp = request->irp;
    irp->driverContext[0] = request;
    request->state.store(RequestState::Queued, std::memory_order_release);
    io::IoSetCancelRoutine(irp, CancelHeld);
    if (irp->cancel.load(std::memory_order_seq_cst) && io::IoSetCancelRoutine(irp, nullptr) != nullptr) {
        return false;
    }
    queue->held.push_back(request);
    return true;
}

// Takes the held requests that choose picks and whose cancel routine it can
// clear; those whose routine a cancellation took stay on the list for it.
// Under the hold lock.
template <class Choose>
std::vector<FxRequest*> TakeHeld(FxQueue* queue, Choose choose)
{
    std::vector<FxRequest*> taken;
    std::vector<FxRequest*> kept;
    for (FxRequest* request : queue->held) {
        if (choose(request) && io::IoSetCancelRoutine(request->irp, nullptr) != nullptr) {
            taken.push_back(request);
        } else {
            kept.push_back(request);
        }
    }
    queue->held.swap(kept);
    return taken;
}

// Cancels the held requests that choose picks: those it takes are completed
// here, and it waits until the cancel routines already running for the others
// have taken them off the list and completed them, so the queue may go after.
template <class Choose>
void CancelHeldRequests(FxQueue* queue, Choose choose)
{
    std::vector<FxRequest*> taken;
    {
        std::unique_lock<std::mutex> lock(queue->holdLock);
        taken = TakeHeld(queue, choose);
        queue->holdWake.wait(lock, [queue, &choose] {
            return queue->cancelling == 0 && std::none_of(queue->held.begin(), queue->held.end(), choose);
        });
    }
    for (FxRequest* request : taken) {
        Cancel(request);
    }
}

// Marks the request as entering the queue. A stopped queue holds it (its
// packet pends) or, once purged, refuses it.
Entry Enter(FxQueue* queue, FxRequest* request)
{
    for (;;) {
        request->presentedOn.store(queue, std::memory_order_seq_cst);
        if (queue->powered.load(std::memory_order_seq_cst)) {
            return Entry::Presented;
        }
        request->presentedOn.store(nullptr, std::memory_order_seq_cst);
        WakeDrainWaiter(queue);
        std::lock_guard<std::mutex> guard(queue->holdLock);
        if (queue->removed.load(std::memory_order_seq_cst)) {
            return Entry::Refused;
        }
        if (!queue->powered.load(std::memory_order_seq_cst)) {
            return Hold(queue, request) ? Entry::Held : Entry::Cancelled;
        }
    }
}

void Leave(FxQueue* queue, FxRequest* request)
{
    request->presentedOn.store(nullptr, std::memory_order_seq_cst);
    WakeDrainWaiter(queue);
}

void CallDriver(FxQueue* queue, FxRequest* request, size_t outputLength, size_t inputLength, ULONG code)
{
    RequirePassive("EvtIoDeviceControl");
    auto queueHandle = static_cast<WDFQUEUE>(queue->handle);
    auto requestHandle = static_cast<WDFREQUEST>(request->handle);
    if (queue->config.EvtIoDeviceControl != nullptr) {
        queue->config.EvtIoDeviceControl(queueHandle, requestHandle, outputLength, inputLength, code);
        CheckAfterCallback(request, "EvtIoDeviceControl");
    } else {
        queue->config.EvtIoDefault(queueHandle, requestHandle);
        CheckAfterCallback(request, "EvtIoDefault");
    }
}

// Presents the request; the queue decides how many run at once.
void Dispatch(FxQueue* queue, FxRequest* request, size_t outputLength, size_t inputLength, ULONG code)
{
    Present(request);
    if (queue->config.DispatchType == WdfIoQueueDispatchSequential) {
        std::lock_guard<std::mutex> guard(queue->sequentialLock);
        CallDriver(queue, request, outputLength, inputLength, code);
    } else {
        CallDriver(queue, request, outputLength, inputLength, code);
    }
}

bool AnyPresentedOn(FxQueue* queue)
{
    bool any = false;
    ForEachRequest([queue, &any](FxRequest* request) {
        any = any || request->presentedOn.load(std::memory_order_seq_cst) == queue;
    });
    return any;
}

}  // namespace

void FinishRequest(FxRequest* request)
{
    io::Irp* irp = request->irp;
    irp->status = request->status;
    irp->information = request->information;
    ReleaseRequest(request);
    io::IoCompleteRequest(irp);
}

namespace {

// Presents a request that entered its queue and finishes it; its status.
NTSTATUS PresentNow(FxQueue* queue, FxRequest* request)
{
    Dispatch(queue, request, request->outputLength, request->inputLength, request->ioControlCode);
    Leave(queue, request);
    NTSTATUS status = request->status;
    FinishRequest(request);
    return status;
}

NTSTATUS Cancel(FxRequest* request)
{
    request->status = STATUS_CANCELLED;
    request->information = 0;
    FinishRequest(request);
    return STATUS_CANCELLED;
}

}  // namespace

FxQueue::FxQueue(FxDevice* device_, const WDF_IO_QUEUE_CONFIG& config_, const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::Queue, device_, attributes),
      device(device_),
      config(config_),
      powerManaged(config_.PowerManaged != WdfFalse)
{
}

void FxQueue::OnDelete()
{
    // Requests still in the driver complete first; callers still held are cancelled.
    StopQueue(this, WdfRequestStopActionPurge, true);
    if (device->defaultQueue == this) {
        device->defaultQueue = nullptr;
    }
}

NTSTATUS Enqueue(FxQueue* queue, FxRequest* request)
{
    switch (Enter(queue, request)) {
    case Entry::Presented:
        return PresentNow(queue, request);
    case Entry::Held:
        return STATUS_PENDING;
    case Entry::Cancelled:
        return Cancel(request);
    default:
        // A queue that accepts no requests fails them as FxIoQueue::QueueRequest does.
        request->status = STATUS_INVALID_DEVICE_STATE;
        request->information = 0;
        FinishRequest(request);
        return STATUS_INVALID_DEVICE_STATE;
    }
}

NTSTATUS EnqueueFromCaller(FxQueue* queue, FxRequest* request)
{
    // Once queued, the request is the queue's: what it said goes to the caller's frame.
    NTSTATUS* entryStatus = request->entryStatus;
    bool* enqueued = request->enqueued;
    request->inCallerContext = false;
    switch (Enter(queue, request)) {
    case Entry::Presented:
        *enqueued = true;
        *entryStatus = PresentNow(queue, request);
        return STATUS_SUCCESS;
    case Entry::Held:
        *enqueued = true;
        *entryStatus = STATUS_PENDING;
        return STATUS_SUCCESS;
    case Entry::Cancelled:
        *enqueued = true;
        *entryStatus = Cancel(request);
        return STATUS_SUCCESS;
    default:
        request->inCallerContext = true;
        return STATUS_WDF_BUSY;
    }
}

void StopQueue(FxQueue* queue, ULONG actionFlags, bool purge)
{
    {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        queue->powered.store(false, std::memory_order_seq_cst);
        if (purge) {
            queue->removed.store(true, std::memory_order_seq_cst);
        }
    }
    queue->holdWake.notify_all();
    if (purge) {
        // Held requests of a queue that takes no more are cancelled.
        CancelHeldRequests(queue, [](const FxRequest*) { return true; });
    }
    PFN_WDF_IO_QUEUE_IO_STOP stop = queue->config.EvtIoStop;
    if (stop != nullptr) {
        ForEachRequest([queue, stop, actionFlags](FxRequest* request) {
            request->pins.fetch_add(1, std::memory_order_seq_cst);
            if (request->presentedOn.load(std::memory_order_seq_cst) == queue &&
                request->state.load(std::memory_order_acquire) == RequestState::Presented) {
                stop(static_cast<WDFQUEUE>(queue->handle), HandleOf(request), actionFlags);
            }
            request->pins.fetch_sub(1, std::memory_order_seq_cst);
        });
    }
    queue->drainWaiters.fetch_add(1, std::memory_order_seq_cst);
    {
        std::unique_lock<std::mutex> lock(queue->holdLock);
        while (AnyPresentedOn(queue)) {
            queue->holdWake.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    queue->drainWaiters.fetch_sub(1, std::memory_order_seq_cst);
}

std::vector<FxQueue*> QueuesOf(FxDevice* device, Queues which)
{
    std::vector<FxQueue*> queues;
    ForEachChild(device, [&](FxObject* child) {
        if (child->type == FxType::Queue &&
            (which == Queues::All || static_cast<FxQueue*>(child)->powerManaged)) {
            queues.push_back(static_cast<FxQueue*>(child));
        }
    });
    return queues;
}

void CancelQueuedRequestsOf(FxDevice* device, FxFileObject* file)
{
    RequirePassive(__func__);
    for (FxQueue* queue : QueuesOf(device, Queues::All)) {
        CancelHeldRequests(queue, [file](const FxRequest* request) { return request->file == file; });
    }
}

void QueuePowerUp(FxDevice* device)
{
    RequirePassive(__func__);
    for (FxQueue* queue : QueuesOf(device, Queues::PowerManaged)) {
        std::vector<FxRequest*> held;
        {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            if (queue->removed.load(std::memory_order_seq_cst)) {
                continue;
            }
            queue->powered.store(true, std::memory_order_seq_cst);
            held = TakeHeld(queue, [](const FxRequest*) { return true; });
        }
        queue->holdWake.notify_all();
        // The requests that waited are presented here, on the power-up path's thread.
        for (FxRequest* request : held) {
            Enqueue(queue, request);
        }
    }
}

void QueuePowerDown(FxDevice* device)
{
    RequirePassive(__func__);
    for (FxQueue* queue : QueuesOf(device, Queues::PowerManaged)) {
        StopQueue(queue, WdfRequestStopActionSuspend, false);
    }
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue)
{
    plat::RequirePassive(__func__);
    auto* device = ResolveAs<FxDevice>(Device, FxType::Device, __func__);
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        plat::WdfViolation("queue config", "WdfIoQueueCreate needs an initialised WDF_IO_QUEUE_CONFIG");
    }
    ValidateAttributes(QueueAttributes, __func__);
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
        QueueAttributes->ParentObject != Device) {
        plat::WdfViolation("queue attributes", "a queue's parent must be its device");
    }
    if (Config->DefaultQueue && device->defaultQueue != nullptr) {
        plat::WdfViolation("queue config", "the device already has a default queue");
    }
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    NTSTATUS status = plat::fault::Check("WdfIoQueueCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* queue = new FxQueue(device, *Config, QueueAttributes);
    status = Register(queue, QueueAttributes);
    if (!NT_SUCCESS(status)) {
        delete queue;
        return status;
    }
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = static_cast<WDFQUEUE>(queue->handle);
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return static_cast<WDFDEVICE>(ResolveAs<FxQueue>(Queue, FxType::Queue, __func__)->device->handle);
}

}  // extern "C"
