/*
 * Framework I/O queues: a queue as the driver configures it, whether a
 * power-managed queue may present requests now and where callers wait while
 * it may not; giving requests to a queue, stopping and starting it; and the
 * queues of a device, which its power changes, file cleanups and removal
 * act on together.
 */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "wdf/device.h"

namespace plat::wdf {

struct FxFileObject;
struct FxRequest;

struct FxQueue : FxObject {
    FxQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    bool DriverMayDelete() const override { return !config.DefaultQueue; }
    void OnDelete() override;

    FxDevice* device;
    WDF_IO_QUEUE_CONFIG config;
    bool powerManaged;  // WdfUseDefault resolves to TRUE for a function driver's queue

    // Requests are presented only while this holds. A queue starts powered: its
    // device's interface cannot be opened before the device has started (D0).
    std::atomic<bool> powered{true};
    std::atomic<bool> removed{false};
    // Requests held while the queue is not powered (under holdLock), presented
    // by the next power-up or cancelled by a purge.
    std::vector<FxRequest*> held;
    // Held requests whose cancel routine is completing them (under holdLock).
    int cancelling = 0;
    // Callers held while the queue is not powered, and a power-down waiting for
    // the requests in progress, wait here.
    std::mutex holdLock;
    std::condition_variable holdWake;
    std::atomic<int> drainWaiters{0};
    // A sequential queue presents one request at a time.
    std::mutex sequentialLock;
};

// The queues of a device, in creation order.
enum class Queues { All, PowerManaged };
std::vector<FxQueue*> QueuesOf(FxDevice* device, Queues which);

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
