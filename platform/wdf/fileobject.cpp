/*
 * Opening and closing handles on a device. The close path of a file object
 * can start from two sides: the last reference of its handle going, or its
 * device being deleted while the handle is open. Both sides take the file
 * object's stripe lock (one of a few recursive locks, picked by the framework
 * file object's address), so exactly one of them runs the driver's cleanup
 * and close callbacks and the framework file object is deleted once, while
 * opens and closes of other handles go on in parallel.
 */
#include "wdf/fileobject.h"

#include "base/bugcheck.h"
#include "ntos/ke/irql.h"
#include "ntos/io/irp.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace plat::wdf {
namespace {

constexpr size_t kStripes = 64;

std::recursive_mutex& StripeOf(const FxFileObject* fx)
{
    static std::recursive_mutex stripes[kStripes];
    auto key = reinterpret_cast<uintptr_t>(fx) >> 4;
    return stripes[(key * 0x9E3779B97F4A7C15ull) >> 58];
}

void CallFileCallback(PFN_WDF_FILE_CLOSE callback, FxFileObject* fx, const char* name)
{
    if (callback == nullptr) {
        return;
    }
    RequirePassive(name);
    callback(static_cast<WDFFILEOBJECT>(fx->handle));
    if (CurrentIrql() != PASSIVE_LEVEL || SpinLocksHeld() != 0) {
        VerifierViolation("callback returned at another IRQL",
                          std::string(name) + " returned at IRQL " + std::to_string(CurrentIrql()));
    }
}

PFN_WDF_FILE_CLEANUP CleanupCallback(const FxFileObject* fx)
{
    return fx->device->hasFileObjectConfig ? fx->device->fileObject.EvtFileCleanup : nullptr;
}

PFN_WDF_FILE_CLOSE CloseCallback(const FxFileObject* fx)
{
    return fx->device->hasFileObjectConfig ? fx->device->fileObject.EvtFileClose : nullptr;
}

// Under the stripe lock.
void RunCleanup(FxFileObject* fx)
{
    if (!fx->cleanedUp) {
        fx->cleanedUp = true;
        CallFileCallback(CleanupCallback(fx), fx, "EvtFileCleanup");
    }
}

// Under the stripe lock.
void RunClose(FxFileObject* fx)
{
    RunCleanup(fx);
    if (!fx->closed) {
        fx->closed = true;
        CallFileCallback(CloseCallback(fx), fx, "EvtFileClose");
    }
}

// Presents the create request to the driver; the status it completed it with.
NTSTATUS PresentCreate(FxDevice* device, FxFileObject* fx, KPROCESSOR_MODE mode)
{
    PFN_WDF_DEVICE_FILE_CREATE create = device->hasFileObjectConfig ? device->fileObject.EvtDeviceFileCreate : nullptr;
    if (create == nullptr) {
        return STATUS_SUCCESS;
    }
    FxRequest* request = AcquireRequest(device);
    request->major = Major::Create;
    request->requestorMode = mode;
    request->file = fx;
    Present(request);
    create(static_cast<WDFDEVICE>(device->handle), static_cast<WDFREQUEST>(request->handle),
           static_cast<WDFFILEOBJECT>(fx->handle));
    CheckAfterCallback(request, "EvtDeviceFileCreate");
    NTSTATUS status = request->status;
    ReleaseRequest(request);
    return status;
}

}  // namespace

FxFileObject::FxFileObject(FxDevice* device_, const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::FileObject, device_, attributes), device(device_), gone(device_->onFileObjectGone)
{
}

FxFileObject::~FxFileObject()
{
    if (gone) {
        gone();
    }
}

void FxFileObject::OnDelete()
{
    io::FileObject* open;
    {
        std::lock_guard<std::recursive_mutex> guard(StripeOf(this));
        open = file;
    }
    if (open == nullptr) {
        return;  // closed normally, or never opened
    }
    // The device goes away while a handle is open: the requests in progress
    // finish (a close among them may close the file for the driver), then the
    // file is closed for the driver now; the handle stays and names a file
    // without a device.
    open->RunDown();
    std::lock_guard<std::recursive_mutex> guard(StripeOf(this));
    if (file == nullptr) {
        return;
    }
    file = nullptr;
    open->fsContext.store(nullptr, std::memory_order_release);
    RunClose(this);
}

NTSTATUS DispatchCreate(io::DeviceObject* deviceObject, io::Irp* irp)
{
    auto* device = static_cast<FxDevice*>(deviceObject->extension);
    io::FileObject* file = irp->file;
    auto* fx = new FxFileObject(device, nullptr);
    NTSTATUS status = Register(fx, nullptr);
    if (!NT_SUCCESS(status)) {
        delete fx;
        return io::CompleteWith(irp, status);
    }
    {
        std::lock_guard<std::recursive_mutex> guard(StripeOf(fx));
        file->fsContext.store(fx, std::memory_order_release);
        fx->file = file;
    }
    status = PresentCreate(device, fx, irp->requestorMode);
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::recursive_mutex> guard(StripeOf(fx));
        file->fsContext.store(nullptr, std::memory_order_release);
        fx->file = nullptr;
        fx->cleanedUp = fx->closed = true;  // a failed create never gets a cleanup or close
        Delete(fx);
    }
    return io::CompleteWith(irp, status);
}

// EvtFileCleanup, then the requests of the file that the queues still hold
// are cancelled (FxPkgGeneral's cleanup flushes every queue by file object);
// those already presented are the driver's to complete.
NTSTATUS DispatchCleanup(io::DeviceObject*, io::Irp* irp)
{
    FxFileObject* current = FxFileOf(irp->file);
    if (current != nullptr) {
        std::lock_guard<std::recursive_mutex> guard(StripeOf(current));
        if (FxFileOf(irp->file) == current) {
            RunCleanup(current);
            CancelQueuedRequestsOf(current->device, current);
        }
    }
    return io::CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(io::DeviceObject*, io::Irp* irp)
{
    FxFileObject* current = FxFileOf(irp->file);
    if (current != nullptr) {
        std::unique_lock<std::recursive_mutex> guard(StripeOf(current));
        if (FxFileOf(irp->file) == current) {
            irp->file->fsContext.store(nullptr, std::memory_order_release);
            current->file = nullptr;
            RunClose(current);
            guard.unlock();
            Delete(current);
        }
    }
    return io::CompleteWith(irp, STATUS_SUCCESS);
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return static_cast<WDFDEVICE>(ResolveAs<FxFileObject>(FileObject, FxType::FileObject, __func__)->device->handle);
}

}  // extern "C"
