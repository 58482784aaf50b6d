/*
 * Framework requests: the create and device-control requests the framework
 * presents to the driver. A request is taken from a cache of the calling
 * thread, so presenting one allocates nothing and takes no lock; its handle
 * carries a generation that changes when the request is recycled, and every
 * call on a request that is no longer presented stops the system.
 */
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "ntos/io/irp.h"
#include "wdf/object.h"

namespace plat::wdf {

struct FxQueue;
struct FxFileObject;
struct FxDevice;

// IRP major functions of the requests the framework presents.
enum class Major : UCHAR {
    Create = 0x00,
    DeviceControl = 0x0E,
};

// Presented: the driver owns it; Queued: a queue holds it; Cleanup: its
// context's cleanup callback runs (the context may still be read).
enum class RequestState : int { Idle, Presented, Queued, Completed, Cleanup };

// Aligned to a cache line: requests of different threads share none.
struct alignas(64) FxRequest : FxObject {
    FxRequest();
    bool DriverMayDelete() const override { return false; }
    std::string Describe() const override;

    // Parameters of one use.
    Major major = Major::Create;
    KPROCESSOR_MODE requestorMode = UserMode;
    ULONG ioControlCode = 0;
    size_t inputLength = 0;
    size_t outputLength = 0;
    UCHAR* inputBuffer = nullptr;   // the system buffer for buffered and direct methods
    UCHAR* outputBuffer = nullptr;  // the system buffer (buffered) or the caller's buffer (direct)
    FxFileObject* file = nullptr;
    FxQueue* queue = nullptr;       // nullptr for a create request
    io::Irp* irp = nullptr;         // the packet this request stands for (device controls)

    // In EvtIoInCallerContext: where WdfDeviceEnqueueRequest reports the queue's answer.
    bool inCallerContext = false;
    NTSTATUS* entryStatus = nullptr;
    bool* enqueued = nullptr;

    // The typed context every request of its device gets, zeroed for each use:
    // in the request itself when it is small, else in contextStorage.
    alignas(16) UCHAR contextInline[64];
    std::vector<UCHAR> contextStorage;

    // Completion.
    std::atomic<RequestState> state{RequestState::Idle};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    // The queue this request is presented on, while its callback runs (power-down looks at it).
    std::atomic<FxQueue*> presentedOn{nullptr};
    // Held by a power-down that calls EvtIoStop with the request; recycling waits for it.
    std::atomic<int> pins{0};

    uint32_t slot = 0;
    std::atomic<uint32_t> generation{1};
};

// A request from the calling thread's cache, reset and ready to be filled in,
// with the request context the device's request attributes give.
FxRequest* AcquireRequest(const FxDevice* device);
// Gives a request back to the thread's cache after running its context's
// cleanup callback; its handle stops resolving.
void ReleaseRequest(FxRequest* request);

// True when the handle has the shape of a request handle.
bool IsRequestHandle(WDFOBJECT handle);
// The request a handle names while it is presented, or while its context's
// cleanup runs (for the context calls); stops the system otherwise.
FxRequest* ResolveRequestForContext(WDFOBJECT handle, const char* routine);

// The handle of the request's current use (readable from any thread).
WDFREQUEST HandleOf(const FxRequest* request);

// Marks the request presented; it has a valid handle from now on.
void Present(FxRequest* request);

// After a callback that does not pend returns: the request must have been
// completed and the IRQL be back at PASSIVE_LEVEL, else the system stops
// (the caller would wait forever for a request the driver forgot).
void CheckAfterCallback(FxRequest* request, const char* callback);

// The presented request a handle names; stops the system for anything else.
FxRequest* ResolveRequest(WDFREQUEST handle, const char* routine);

// Calls fn for every request that exists (idle ones too); fn must be quick.
template <class Fn>
void ForEachRequest(Fn fn);
void ForEachRequestSlot(void (*fn)(FxRequest*, void*), void* context);

template <class Fn>
void ForEachRequest(Fn fn)
{
    ForEachRequestSlot([](FxRequest* request, void* context) { (*static_cast<Fn*>(context))(request); }, &fn);
}

}  // namespace plat::wdf
