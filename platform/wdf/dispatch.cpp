/*
 * Presenting device controls to queues, holding them while a power-managed
 * queue is stopped, and stopping and starting queues with the device's power
 * state.
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
 * packet owns the request. A power-up, purge or file cleanup that takes a
 * request from the queue and finds the routine already gone leaves the
 * request to the routine, which takes it off the queue and completes it with
 * STATUS_CANCELLED (FxIoQueue::CancelForQueue, for a request the driver has
 * not been presented). The routine runs at DISPATCH_LEVEL; so do the
 * request's cleanup callback and its completion on that path.
 */
#include "wdf/dispatch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/bugcheck.h"
#include "ntos/ke/irql.h"
#include "wdf/fileobject.h"
#include "wdf/queue.h"
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

// The cancel routine of a held request's packet. DISPATCH_LEVEL; called by IoCancelIrp.
void CancelHeld(io::DeviceObject*, io::Irp* irp)
{
    auto* request = static_cast<FxRequest*>(irp->driverContext[0]);
    FxQueue* queue = request->queue;
    {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        auto at = std::find(queue->held.begin(), queue->held.end(), request);
        if (at != queue->held.end()) {
            queue->held.erase(at);
        }
    }
    Cancel(request);
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

// A request taken off the held list under the hold lock, with its generation then.
struct Taken {
    FxRequest* request;
    uint32_t generation;
};

// Takes the requests that choose picks off the held list. Under the hold lock.
template <class Choose>
std::vector<Taken> TakeHeld(FxQueue* queue, Choose choose)
{
    std::vector<Taken> taken;
    auto kept = std::stable_partition(queue->held.begin(), queue->held.end(),
                                      [&choose](FxRequest* request) { return !choose(request); });
    for (auto at = kept; at != queue->held.end(); ++at) {
        taken.push_back({*at, (*at)->generation.load(std::memory_order_acquire)});
    }
    queue->held.erase(kept, queue->held.end());
    return taken;
}

// Takes a request off the held list from its cancel routine; false when a
// cancellation took the routine first and so owns the request. Its routine
// looks at the queue, so this waits until the routine has ended the request
// (a request still on the list under the hold lock had not been ended, so
// its generation changes then): the queue is never deleted under it.
bool TakeFromCancel(const Taken& taken)
{
    if (io::IoSetCancelRoutine(taken.request->irp, nullptr) != nullptr) {
        return true;
    }
    while (taken.request->generation.load(std::memory_order_acquire) == taken.generation) {
        std::this_thread::yield();
    }
    return false;
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

// The power-managed queues of a device.
std::vector<FxQueue*> PowerManagedQueues(FxDevice* device)
{
    std::vector<FxQueue*> queues;
    ForEachChild(device, [&](FxObject* child) {
        if (child->type == FxType::Queue && static_cast<FxQueue*>(child)->powerManaged) {
            queues.push_back(static_cast<FxQueue*>(child));
        }
    });
    return queues;
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

// The request a device-control packet becomes, with its buffers as the I/O manager laid them out.
FxRequest* RequestFor(FxDevice* device, FxQueue* queue, FxFileObject* fx, io::Irp* irp)
{
    FxRequest* request = AcquireRequest(device);
    request->irp = irp;
    request->major = Major::DeviceControl;
    request->requestorMode = irp->requestorMode;
    request->ioControlCode = irp->ioControlCode;
    request->inputLength = irp->inputLength;
    request->outputLength = irp->outputLength;
    switch (METHOD_FROM_CTL_CODE(irp->ioControlCode)) {
    case METHOD_BUFFERED:
        request->inputBuffer = request->outputBuffer = irp->systemBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        request->inputBuffer = irp->systemBuffer;
        request->outputBuffer = static_cast<UCHAR*>(irp->userBuffer);
        break;
    default:  // METHOD_NEITHER: the driver would get the caller's raw pointers
        request->inputBuffer = static_cast<UCHAR*>(const_cast<void*>(irp->userInput));
        request->outputBuffer = static_cast<UCHAR*>(irp->userBuffer);
        break;
    }
    request->file = fx;
    request->queue = queue;
    return request;
}

// EvtIoInCallerContext, on the requestor's thread: the driver completes the
// request or gives it to a queue (WdfDeviceEnqueueRequest) before it returns.
NTSTATUS CallInCallerContext(FxDevice* device, FxRequest* request)
{
    RequirePassive("EvtIoInCallerContext");
    NTSTATUS entry = STATUS_PENDING;
    bool enqueued = false;
    request->inCallerContext = true;
    request->entryStatus = &entry;
    request->enqueued = &enqueued;
    Present(request);
    device->ioInCallerContext(static_cast<WDFDEVICE>(device->handle), HandleOf(request));
    RequireReturnedAt(PASSIVE_LEVEL, "EvtIoInCallerContext");
    if (enqueued) {
        // The request may be finished and recycled by now: only what its queue said of it counts.
        return entry;
    }
    request->inCallerContext = false;
    if (request->state.load(std::memory_order_acquire) != RequestState::Completed) {
        WdfViolation("request neither completed nor queued",
                     "EvtIoInCallerContext returned without completing " + request->Describe() +
                         " or giving it to a queue with WdfDeviceEnqueueRequest");
    }
    NTSTATUS status = request->status;
    FinishRequest(request);
    return status;
}

}  // namespace

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

NTSTATUS DispatchDeviceControl(io::DeviceObject* deviceObject, io::Irp* irp)
{
    auto* device = static_cast<FxDevice*>(deviceObject->extension);
    FxFileObject* fx = irp->file != nullptr ? FxFileOf(irp->file) : nullptr;
    if (fx == nullptr) {
        return io::CompleteWith(irp, STATUS_DEVICE_DOES_NOT_EXIST);
    }
    FxQueue* queue = device->defaultQueue;
    if (queue == nullptr || queue->config.DispatchType == WdfIoQueueDispatchManual ||
        (queue->config.EvtIoDeviceControl == nullptr && queue->config.EvtIoDefault == nullptr)) {
        return io::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);  // the framework completes what no callback can take
    }
    FxRequest* request = RequestFor(device, queue, fx, irp);
    if (device->ioInCallerContext != nullptr) {
        return CallInCallerContext(device, request);
    }
    return Enqueue(queue, request);
}

NTSTATUS DispatchReadWrite(io::DeviceObject* deviceObject, io::Irp* irp)
{
    auto* device = static_cast<FxDevice*>(deviceObject->extension);
    FxQueue* queue = device->defaultQueue;
    PFN_WDF_IO_QUEUE_IO_READ read = queue != nullptr ? queue->config.EvtIoRead : nullptr;
    PFN_WDF_IO_QUEUE_IO_WRITE write = queue != nullptr ? queue->config.EvtIoWrite : nullptr;
    bool callback = irp->major == io::kMjRead ? read != nullptr : write != nullptr;
    if (queue == nullptr || queue->config.DispatchType == WdfIoQueueDispatchManual ||
        (!callback && queue->config.EvtIoDefault == nullptr)) {
        // FxIoQueue: "Driver has no event callback" for the request's type.
        return io::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (irp->outputLength == 0 && !queue->config.AllowZeroLengthRequests) {
        return io::CompleteWith(irp, STATUS_SUCCESS);  // completed by the queue, never presented
    }
    return io::CompleteWith(irp, STATUS_NOT_SUPPORTED);  // the stand-in presents device controls only
}

NTSTATUS DispatchUnhandled(io::DeviceObject* deviceObject, io::Irp* irp)
{
    (void)deviceObject;
    return io::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
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
        std::vector<Taken> held;
        {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            held = TakeHeld(queue, [](FxRequest*) { return true; });
        }
        for (const Taken& taken : held) {
            if (TakeFromCancel(taken)) {
                Cancel(taken.request);
            }
        }
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

void CancelQueuedRequestsOf(FxDevice* device, FxFileObject* file)
{
    RequirePassive(__func__);
    std::vector<FxQueue*> queues;
    ForEachChild(device, [&](FxObject* child) {
        if (child->type == FxType::Queue) {
            queues.push_back(static_cast<FxQueue*>(child));
        }
    });
    for (FxQueue* queue : queues) {
        std::vector<Taken> ofFile;
        {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            ofFile = TakeHeld(queue, [file](const FxRequest* request) { return request->file == file; });
        }
        for (const Taken& taken : ofFile) {
            if (TakeFromCancel(taken)) {
                Cancel(taken.request);
            }
        }
    }
}

void QueuePowerUp(FxDevice* device)
{
    RequirePassive(__func__);
    for (FxQueue* queue : PowerManagedQueues(device)) {
        std::vector<Taken> held;
        {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            if (queue->removed.load(std::memory_order_seq_cst)) {
                continue;
            }
            queue->powered.store(true, std::memory_order_seq_cst);
            held = TakeHeld(queue, [](FxRequest*) { return true; });
        }
        queue->holdWake.notify_all();
        // The requests that waited are presented here, on the power-up path's thread.
        for (const Taken& taken : held) {
            if (TakeFromCancel(taken)) {
                Enqueue(queue, taken.request);
            }
        }
    }
}

void QueuePowerDown(FxDevice* device)
{
    RequirePassive(__func__);
    for (FxQueue* queue : PowerManagedQueues(device)) {
        StopQueue(queue, WdfRequestStopActionSuspend, false);
    }
}

}  // namespace plat::wdf
