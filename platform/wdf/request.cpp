/*
 * Framework requests: per-thread caches, request handles and the WdfRequest*
 * calls. Requests are created once and recycled for the life of the process;
 * a thread that ends hands its cached requests to a shared pool.
 */
#include "wdf/request.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/bugcheck.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "wdf/device.h"
#include "wdf/fileobject.h"
#include "wdf/queue.h"

namespace plat::wdf {
namespace {

// Requests given to a queue outside EvtIoInCallerContext: the verifier's breaks, reported until cleared.
std::mutex g_misplacedLock;
std::vector<std::string> g_misplaced;
const int g_misplacedReporter = verifier::AddReporter("WdfDeviceEnqueueRequest", [](std::vector<std::string>& findings) {
    std::lock_guard<std::mutex> guard(g_misplacedLock);
    findings.insert(findings.end(), g_misplaced.begin(), g_misplaced.end());
    g_misplaced.clear();
});

constexpr uint32_t kChunkBits = 8;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kMaxChunks = 1024;
// A context larger than this is given back after its request.
constexpr size_t kKeptStorage = 64 * 1024;
// Request handles have bit 3 set, which no other framework handle has.
constexpr uint64_t kRequestTag = 0x8;

// The chunks of requests and how many slots are in use, in zero-initialised
// globals: resolving a handle is a few loads with no guard of a function-local
// static in front of them. A chunk has whole cache lines: every request's
// handle is looked up in one, so it shares none with what a thread writes.
struct alignas(64) Chunk {
    std::atomic<FxRequest*> requests[kChunkSize] = {};
};
Chunk* g_chunks[kMaxChunks] = {};
std::atomic<uint32_t> g_used{0};

struct Directory {
    std::mutex lock;  // creation of requests and of the pool below
    std::vector<FxRequest*> pool;
};

Directory& Requests()
{
    static Directory* directory = new Directory();  // requests live as long as the process
    return *directory;
}

inline FxRequest* RequestAt(uint32_t slot)
{
    if (slot >= g_used.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return g_chunks[slot >> kChunkBits]->requests[slot & (kChunkSize - 1)].load(std::memory_order_acquire);
}

FxRequest* CreateRequest()
{
    Directory& d = Requests();
    std::lock_guard<std::mutex> guard(d.lock);
    if (!d.pool.empty()) {
        FxRequest* request = d.pool.back();
        d.pool.pop_back();
        return request;
    }
    uint32_t slot = g_used.load(std::memory_order_relaxed);
    if ((slot >> kChunkBits) >= kMaxChunks) {
        BugCheck(0xDEADDEAD, "too many framework requests at once");
    }
    auto*& chunk = g_chunks[slot >> kChunkBits];
    if (chunk == nullptr) {
        chunk = new Chunk();
    }
    auto* request = new FxRequest();
    request->slot = slot;
    chunk->requests[slot & (kChunkSize - 1)].store(request, std::memory_order_release);
    g_used.store(slot + 1, std::memory_order_release);
    return request;
}

// A thread's idle requests, in the thread's own storage (no heap block that
// could share a cache line with another thread's data). Past kCached, and
// once the thread is ending, requests go to the shared pool.
constexpr size_t kCached = 16;

struct ThreadCache {
    FxRequest* idle[kCached];
    size_t count = 0;
    bool ended = false;

    ~ThreadCache()
    {
        ended = true;
        if (count == 0) {
            return;
        }
        Directory& d = Requests();
        std::lock_guard<std::mutex> guard(d.lock);
        d.pool.insert(d.pool.end(), idle, idle + count);
        count = 0;
    }
};

void GiveToPool(FxRequest* request)
{
    Directory& d = Requests();
    std::lock_guard<std::mutex> guard(d.lock);
    d.pool.push_back(request);
}

// The library is loaded with the program, so its thread-locals can live in static TLS (no lookup call).
__attribute__((tls_model("initial-exec"))) thread_local ThreadCache t_cache;

WDFREQUEST Encode(const FxRequest* request, uint32_t generation)
{
    uint64_t value = (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(request->slot + 1) << 4) |
                     kRequestTag;
    return reinterpret_cast<WDFREQUEST>(value);
}

std::string HandleText(const void* handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// The request a handle was issued for, whatever its state, or nullptr.
inline FxRequest* Decode(WDFREQUEST handle, uint32_t* generation)
{
    auto value = reinterpret_cast<uint64_t>(handle);
    uint64_t low = value & 0xFFFFFFFFu;
    if ((low & 0xF) != kRequestTag || (low >> 4) == 0) {
        return nullptr;
    }
    *generation = static_cast<uint32_t>(value >> 32);
    return RequestAt(static_cast<uint32_t>((low >> 4) - 1));
}

void CheckBufferArguments(FxRequest* request, PVOID* buffer, size_t* length, const char* routine)
{
    if (buffer == nullptr) {
        WdfViolation("NULL argument", std::string(routine) + " needs a place for the buffer pointer (" +
                                          request->Describe() + ")");
    }
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
}

// The buffer rules shared by input and output retrieval.
NTSTATUS Retrieve(FxRequest* request, UCHAR* data, size_t size, size_t minimum, PVOID* buffer, size_t* length)
{
    if (request->major != Major::DeviceControl || METHOD_FROM_CTL_CODE(request->ioControlCode) == METHOD_NEITHER) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A zero-length buffer is no buffer, whatever the minimum.
    if (size == 0 || size < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = data;
    if (length != nullptr) {
        *length = size;
    }
    return STATUS_SUCCESS;
}

// The rules of a completion that is not plainly one of a presented request
// with a final status, checked in order; out of the way of the completions
// that keep them. The request, when they hold after all.
[[gnu::noinline, gnu::cold]] FxRequest* CheckCompletion(WDFREQUEST handle, NTSTATUS status, const char* routine)
{
    uint32_t generation = 0;
    FxRequest* request = Decode(handle, &generation);
    if (request != nullptr && request->generation.load(std::memory_order_acquire) == generation &&
        request->state.load(std::memory_order_acquire) == RequestState::Completed) {
        WdfViolation("request completed twice", std::string(routine) + " on " + request->Describe() +
                                                    ", which has already been completed");
    }
    request = ResolveRequest(handle, routine);
    if (status == STATUS_PENDING) {
        WdfViolation("request completed with STATUS_PENDING", std::string(routine) + " on " + request->Describe());
    }
    return request;
}

[[noreturn, gnu::noinline, gnu::cold]] void CompletedMeanwhile(FxRequest* request, const char* routine)
{
    WdfViolation("request completed twice", std::string(routine) + " on " + request->Describe() +
                                                ", which another thread completed at the same time");
}

// A framework status means nothing to the request's sender: completing with
// one gives the standard status it stands for (FxRequest::CompleteInternal).
NTSTATUS StandardStatus(NTSTATUS status)
{
    if ((static_cast<ULONG>(status) & 0x0FFF0000u) != (ULONG(FACILITY_DRIVER_FRAMEWORK) << 16)) {
        return status;
    }
    switch (status) {
    case STATUS_WDF_PAUSED:
    case STATUS_WDF_BUSY:
        return STATUS_DEVICE_BUSY;
    case STATUS_WDF_INTERNAL_ERROR:
        return STATUS_INTERNAL_ERROR;
    default:
        return status;
    }
}

void Complete(WDFREQUEST handle, NTSTATUS status, const ULONG_PTR* information, const char* routine)
{
    RequireIrql(DISPATCH_LEVEL, routine);
    uint32_t generation = 0;
    FxRequest* request = Decode(handle, &generation);
    if (__builtin_expect(request == nullptr || status == STATUS_PENDING ||
                             request->generation.load(std::memory_order_acquire) != generation ||
                             request->state.load(std::memory_order_acquire) != RequestState::Presented,
                         0)) {
        request = CheckCompletion(handle, status, routine);
    }
    request->status = StandardStatus(status);
    if (information != nullptr) {
        request->information = *information;
    }
    RequestState expected = RequestState::Presented;
    if (!request->state.compare_exchange_strong(expected, RequestState::Completed, std::memory_order_acq_rel)) {
        CompletedMeanwhile(request, routine);
    }
}

}  // namespace

FxRequest::FxRequest() : FxObject(FxType::Request, nullptr, nullptr) {}

std::string FxRequest::Describe() const
{
    std::string text = "WDFREQUEST " + HandleText(handle);
    if (major == Major::Create) {
        return text + " (create)";
    }
    char code[32];
    std::snprintf(code, sizeof code, " (device control 0x%X)", ioControlCode);
    return text + code;
}

FxRequest* AcquireRequest(const FxDevice* device)
{
    FxRequest* request;
    if (t_cache.count != 0) {
        request = t_cache.idle[--t_cache.count];
    } else {
        request = CreateRequest();
    }
    request->major = Major::Create;
    request->requestorMode = UserMode;
    request->ioControlCode = 0;
    request->inputLength = request->outputLength = 0;
    request->inputBuffer = request->outputBuffer = nullptr;
    request->file = nullptr;
    request->queue = nullptr;
    request->irp = nullptr;
    request->inCallerContext = false;
    request->entryStatus = nullptr;
    request->enqueued = nullptr;
    request->status = STATUS_PENDING;
    request->information = 0;
    request->context = nullptr;
    request->contextType = nullptr;
    request->cleanup = nullptr;
    if (device != nullptr && device->hasRequestAttributes) {
        const WDF_OBJECT_ATTRIBUTES& attributes = device->requestAttributes;
        request->cleanup = attributes.EvtCleanupCallback;
        if (attributes.ContextTypeInfo != nullptr) {
            size_t size = attributes.ContextSizeOverride != 0 ? attributes.ContextSizeOverride
                                                               : attributes.ContextTypeInfo->ContextSize;
            if (size <= sizeof request->contextInline) {
                std::memset(request->contextInline, 0, size);
                request->context = request->contextInline;
            } else {
                request->contextStorage.assign(size, 0);
                request->context = request->contextStorage.data();
            }
            request->contextType = attributes.ContextTypeInfo;
        }
    }
    return request;
}

void ReleaseRequest(FxRequest* request)
{
    // A power-down may still be telling the driver about this request (EvtIoStop).
    while (request->pins.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::yield();
    }
    if (request->cleanup != nullptr) {
        // The framework frees a request once it is completed; its context's
        // cleanup runs then, at the IRQL of the completion (DISPATCH_LEVEL
        // when a cancellation completes it).
        request->state.store(RequestState::Cleanup, std::memory_order_release);
        const KIRQL irql = CurrentIrql();
        request->cleanup(HandleOf(request));
        RequireReturnedAt(irql, "EvtCleanupCallback");
    }
    // Only the thread that owns the request changes its generation: no read-modify-write needed.
    request->generation.store(request->generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    request->state.store(RequestState::Idle, std::memory_order_release);
    request->handle = nullptr;
    if (request->contextStorage.capacity() > kKeptStorage) {
        std::vector<UCHAR>().swap(request->contextStorage);
    }
    if (t_cache.ended || t_cache.count == kCached) {
        GiveToPool(request);
    } else {
        t_cache.idle[t_cache.count++] = request;
    }
}

bool IsRequestHandle(WDFOBJECT handle)
{
    auto value = reinterpret_cast<uint64_t>(handle);
    return (value & 0xF) == kRequestTag && ((value & 0xFFFFFFFFu) >> 4) != 0;
}

FxRequest* ResolveRequestForContext(WDFOBJECT handle, const char* routine)
{
    uint32_t generation = 0;
    FxRequest* request = Decode(static_cast<WDFREQUEST>(handle), &generation);
    if (request != nullptr && request->generation.load(std::memory_order_acquire) == generation &&
        request->state.load(std::memory_order_acquire) == RequestState::Cleanup) {
        return request;
    }
    return ResolveRequest(static_cast<WDFREQUEST>(handle), routine);
}

WDFREQUEST HandleOf(const FxRequest* request)
{
    return Encode(request, request->generation.load(std::memory_order_acquire));
}

void Present(FxRequest* request)
{
    request->handle = Encode(request, request->generation.load(std::memory_order_relaxed));
    request->state.store(RequestState::Presented, std::memory_order_release);
}

// The rules a callback's return is held to, checked again and reported; out
// of the way of the callbacks that keep them.
[[gnu::noinline, gnu::cold]] static void BadReturn(FxRequest* request, const char* callback)
{
    if (CurrentIrql() != PASSIVE_LEVEL || SpinLocksHeld() != 0) {
        VerifierViolation("callback returned at another IRQL",
                          std::string(callback) + " returned at IRQL " + std::to_string(CurrentIrql()) +
                              (SpinLocksHeld() != 0 ? " holding a spin lock" : ""));
    }
    if (request->state.load(std::memory_order_acquire) != RequestState::Completed) {
        WdfViolation("request not completed", std::string(callback) + " returned without completing " +
                                                  request->Describe() +
                                                  "; the driver never pends requests, so the caller would wait forever");
    }
}

void CheckAfterCallback(FxRequest* request, const char* callback)
{
    if (__builtin_expect(CurrentIrql() != PASSIVE_LEVEL || SpinLocksHeld() != 0 ||
                             request->state.load(std::memory_order_acquire) != RequestState::Completed,
                         0)) {
        BadReturn(request, callback);
    }
}

// Why a handle names no presented request; out of the way of the calls that resolve.
[[noreturn, gnu::noinline, gnu::cold]] static void BadRequestHandle(WDFREQUEST handle, const char* routine)
{
    if (handle == nullptr) {
        WdfViolation("NULL handle", std::string(routine) + " was given a NULL request handle");
    }
    uint32_t generation = 0;
    if (Decode(handle, &generation) == nullptr) {
        WdfViolation("invalid handle", std::string(routine) + " was given " + HandleText(handle) +
                                           ", which is not a request handle");
    }
    WdfViolation("request used after completion", std::string(routine) + " was given " + HandleText(handle) +
                                                      ", a request that has already been completed");
}

FxRequest* ResolveRequest(WDFREQUEST handle, const char* routine)
{
    uint32_t generation = 0;
    FxRequest* request = Decode(handle, &generation);
    if (__builtin_expect(request != nullptr && request->generation.load(std::memory_order_acquire) == generation &&
                             request->state.load(std::memory_order_acquire) == RequestState::Presented,
                         1)) {
        return request;
    }
    BadRequestHandle(handle, routine);
}

void ForEachRequestSlot(void (*fn)(FxRequest*, void*), void* context)
{
    uint32_t used = g_used.load(std::memory_order_acquire);
    for (uint32_t slot = 0; slot < used; ++slot) {
        if (FxRequest* request = RequestAt(slot)) {
            fn(request, context);
        }
    }
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return ResolveRequest(Request, __func__)->requestorMode;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return reinterpret_cast<PIRP>(ResolveRequest(Request, __func__)->irp);
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    CheckBufferArguments(request, Buffer, Length, __func__);
    return Retrieve(request, request->inputBuffer, request->inputLength, MinimumRequiredLength, Buffer, Length);
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    CheckBufferArguments(request, Buffer, Length, __func__);
    return Retrieve(request, request->outputBuffer, request->outputLength, MinimumRequiredSize, Buffer, Length);
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    return request->file != nullptr ? static_cast<WDFFILEOBJECT>(request->file->handle) : nullptr;
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    return request->queue != nullptr ? static_cast<WDFQUEUE>(request->queue->handle) : nullptr;
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) { Complete(Request, Status, nullptr, __func__); }

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    Complete(Request, Status, &Information, __func__);
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    if (Parameters == nullptr || Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        plat::WdfViolation("request parameters", "WdfRequestGetParameters needs an initialised WDF_REQUEST_PARAMETERS");
    }
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    if (request->major == Major::Create) {
        Parameters->Type = WdfRequestTypeCreate;
        return;
    }
    Parameters->Type = WdfRequestTypeDeviceControl;
    Parameters->Parameters.DeviceIoControl.OutputBufferLength = request->outputLength;
    Parameters->Parameters.DeviceIoControl.InputBufferLength = request->inputLength;
    Parameters->Parameters.DeviceIoControl.IoControlCode = request->ioControlCode;
}

NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    auto* device = ResolveAs<FxDevice>(Device, FxType::Device, __func__);
    FxRequest* request = ResolveRequest(Request, __func__);
    if (!request->inCallerContext || request->queue == nullptr || request->queue->device != device) {
        // KMDF refuses it (FxPkgIo::VerifyEnqueueRequestUpdateFlags) and breaks into the debugger: a finding here.
        std::lock_guard<std::mutex> guard(g_misplacedLock);
        g_misplaced.push_back("only EvtIoInCallerContext may give a request of its own device to the queue (" +
                              request->Describe() + ")");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A queue that accepts no requests gives the request back, not completed:
    // the caller still owns it (FxIoQueue::QueueRequestFromForward).
    return EnqueueFromCaller(request->queue, request);
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    ResolveRequest(Request, __func__)->information = Information;
}

}  // extern "C"
