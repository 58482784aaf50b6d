/*
 * Queue dispatch. The framework's device-control dispatch routine takes the
 * I/O manager's packet as a framework request: it calls EvtIoInCallerContext
 * first when the driver has one (on the requestor's thread, in its process),
 * then gives the request to the device's default queue. A powered queue
 * presents it at once, on the same thread, at PASSIVE_LEVEL; a parallel queue
 * serialises nothing. A power-managed queue whose device is out of D0 holds
 * the request (the packet is pending, its sender waits) and presents it from
 * the framework's power-up path, on the thread that powers the device up,
 * which runs in the System process.
 *
 * The path allocates nothing and takes no lock of its own while the queue is
 * powered: the request comes from the thread's cache.
 */
#pragma once
#include <wdf.h>

#include "ntos/io/irp.h"

namespace plat::wdf {

struct FxDevice;
struct FxFileObject;
struct FxQueue;
struct FxRequest;

// IRP_MJ_DEVICE_CONTROL for a framework device.
NTSTATUS DispatchDeviceControl(io::DeviceObject* deviceObject, io::Irp* irp);
// Reads and writes go to the default queue as KMDF's I/O package sends them:
// a queue without a callback for the type (EvtIoRead, EvtIoWrite,
// EvtIoDefault) has the framework complete the request with
// STATUS_INVALID_DEVICE_REQUEST; a zero-length one completes with
// STATUS_SUCCESS unless the queue allows zero-length requests. (The stand-in
// presents device controls only: a read or write a callback would take fails
// with STATUS_NOT_SUPPORTED.)
NTSTATUS DispatchReadWrite(io::DeviceObject* deviceObject, io::Irp* irp);
// Every other major function no package of the framework owns (flush, lock,
// query and set information, ...): KMDF's default handler completes it with
// STATUS_INVALID_DEVICE_REQUEST for a function driver (a filter's would pass it down).
NTSTATUS DispatchUnhandled(io::DeviceObject* deviceObject, io::Irp* irp);

// Gives a request to a queue (the dispatch without EvtIoInCallerContext):
// presents it now, holds it (STATUS_PENDING), or, for a queue that takes no
// more requests (purged), fails it with STATUS_INVALID_DEVICE_STATE
// (FxIoQueue::QueueRequest). The request's status once it was presented and completed.
NTSTATUS Enqueue(FxQueue* queue, FxRequest* request);
// WdfDeviceEnqueueRequest's queueing, from EvtIoInCallerContext: STATUS_WDF_BUSY,
// the request not completed, when the queue accepts no requests.
NTSTATUS EnqueueFromCaller(FxQueue* queue, FxRequest* request);

// The driver is done with a request: its status and information go to the
// packet, which is completed, and the request goes back to its cache.
void FinishRequest(FxRequest* request);

// Called by the power-up path after the device entered D0 (presents the held
// requests) and before it leaves D0 (tells the driver about the requests in
// its callbacks with EvtIoStop, holds new ones, and waits for those in
// progress to complete). Both affect every power-managed queue of the device.
void QueuePowerUp(FxDevice* device);
void QueuePowerDown(FxDevice* device);

// IRP_MJ_CLEANUP of a file: every queue of the device cancels the requests
// of that file it still holds (not yet presented, such as those a
// power-managed queue holds out of D0) with STATUS_CANCELLED, as KMDF flushes
// its queues by file object after EvtFileCleanup. Requests already presented
// are the driver's to complete.
void CancelQueuedRequestsOf(FxDevice* device, FxFileObject* file);

// Stops one queue: new requests are held (or, when purging, they and the held
// ones are cancelled), EvtIoStop is called for those in the driver, and the
// call returns once they have completed.
void StopQueue(FxQueue* queue, ULONG actionFlags, bool purge);

}  // namespace plat::wdf
