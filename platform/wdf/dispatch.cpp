/*
 * The framework's dispatch routines: the device's entry for the I/O
 * manager's packets (as KMDF's I/O package takes them). A device control
 * becomes a framework request, goes to EvtIoInCallerContext when the driver
 * has one, and then to the device's default queue (wdf/queue); reads, writes
 * and the functions no package owns are completed here.
 */
#include "wdf/dispatch.h"

#include "base/bugcheck.h"
#include "ntos/ke/irql.h"
#include "wdf/fileobject.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace plat::wdf {
namespace {

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

}  // namespace plat::wdf
