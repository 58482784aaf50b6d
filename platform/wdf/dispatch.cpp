/*
 * Presenting device controls to queues, and stopping and starting queues with
 * the device's power state.
 *
 * A request marks the queue it is presented on (presentedOn) before it looks
 * at whether the queue is powered; a power-down clears "powered" before it
 * looks at the marks. Both sides use sequentially consistent operations, so
 * either the request sees the queue stopped and waits, or the power-down sees
 * the request and waits for it: no lock is needed on the way in.
 */
#include "wdf/dispatch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/bugcheck.h"
#include "ntos/ke/irql.h"
#include "wdf/fileobject.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace plat::wdf {
namespace {

// Lays out the request's buffers the way the I/O manager does for the code's method.
void SetBuffers(FxRequest* request, const void* input, size_t inputLength, void* output, size_t outputLength)
{
    request->inputLength = inputLength;
    request->outputLength = outputLength;
    switch (METHOD_FROM_CTL_CODE(request->ioControlCode)) {
    case METHOD_BUFFERED: {
        size_t size = std::max(inputLength, outputLength);
        UCHAR* system = SystemBuffer(request, size);
        if (inputLength != 0) {
            std::memcpy(system, input, inputLength);
        }
        // The buffer is recycled between callers: nothing of an earlier request may show.
        if (size > inputLength) {
            std::memset(system + inputLength, 0, size - inputLength);
        }
        request->inputBuffer = request->outputBuffer = system;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        UCHAR* system = SystemBuffer(request, inputLength);
        if (inputLength != 0) {
            std::memcpy(system, input, inputLength);
        }
        request->inputBuffer = system;
        request->outputBuffer = static_cast<UCHAR*>(output);  // locked down in place
        break;
    }
    default:  // METHOD_NEITHER: the driver would get the caller's raw pointers
        request->inputBuffer = static_cast<UCHAR*>(const_cast<void*>(input));
        request->outputBuffer = static_cast<UCHAR*>(output);
        break;
    }
}

void WakeDrainWaiter(FxQueue* queue)
{
    if (queue->drainWaiters.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> guard(queue->holdLock);
        queue->holdWake.notify_all();
    }
}

// Marks the request as entering the queue; waits while the queue is stopped.
// False when the queue was removed meanwhile.
bool Enter(FxQueue* queue, FxRequest* request)
{
    for (;;) {
        request->presentedOn.store(queue, std::memory_order_seq_cst);
        if (queue->powered.load(std::memory_order_seq_cst)) {
            return true;
        }
        request->presentedOn.store(nullptr, std::memory_order_seq_cst);
        WakeDrainWaiter(queue);
        std::unique_lock<std::mutex> lock(queue->holdLock);
        queue->holdWake.wait(lock, [queue] {
            return queue->powered.load(std::memory_order_seq_cst) || queue->removed.load(std::memory_order_seq_cst);
        });
        if (queue->removed.load(std::memory_order_seq_cst)) {
            return false;
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

NTSTATUS DeviceControl(DeviceFile* file, KPROCESSOR_MODE mode, ULONG code, const void* input, size_t inputLength,
                       void* output, size_t outputLength, ULONG_PTR* information)
{
    *information = 0;
    if (!file->BeginRequest()) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    FxFileObject* fx = file->fx.load(std::memory_order_acquire);
    FxQueue* queue = fx != nullptr ? file->device->defaultQueue : nullptr;
    NTSTATUS status = fx == nullptr ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_INVALID_DEVICE_REQUEST;
    if (queue == nullptr || queue->config.DispatchType == WdfIoQueueDispatchManual ||
        (queue->config.EvtIoDeviceControl == nullptr && queue->config.EvtIoDefault == nullptr)) {
        file->EndRequest();
        return status;  // the framework completes what no callback can take
    }
    FxRequest* request = AcquireRequest();
    request->major = Major::DeviceControl;
    request->requestorMode = mode;
    request->ioControlCode = code;
    request->file = fx;
    request->queue = queue;
    SetBuffers(request, input, inputLength, output, outputLength);
    if (!Enter(queue, request)) {
        ReleaseRequest(request);
        file->EndRequest();
        return STATUS_CANCELLED;
    }
    Dispatch(queue, request, outputLength, inputLength, code);
    Leave(queue, request);
    status = request->status;
    ULONG_PTR completed = request->information;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && !NT_ERROR(status)) {
        // Only what the driver says it wrote goes back, and never more than the caller's buffer.
        completed = std::min<ULONG_PTR>(completed, outputLength);
        if (completed != 0) {
            std::memcpy(output, request->outputBuffer, completed);
        }
    } else if (!NT_ERROR(status)) {
        completed = std::min<ULONG_PTR>(completed, outputLength);
    }
    *information = completed;
    ReleaseRequest(request);
    file->EndRequest();
    return status;
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
    queue->holdWake.notify_all();  // held callers of a purged queue give up
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

void QueuePowerUp(FxDevice* device)
{
    for (FxQueue* queue : PowerManagedQueues(device)) {
        {
            std::lock_guard<std::mutex> guard(queue->holdLock);
            if (queue->removed.load(std::memory_order_seq_cst)) {
                continue;
            }
            queue->powered.store(true, std::memory_order_seq_cst);
        }
        queue->holdWake.notify_all();
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
