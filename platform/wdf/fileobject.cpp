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
        VerifierViolation("IRQL", std::string(name) + " returned at IRQL " + std::to_string(CurrentIrql()));
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
    FxRequest* request = AcquireRequest();
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
    : FxObject(FxType::FileObject, device_, attributes), device(device_)
{
}

void FxFileObject::OnDelete()
{
    std::lock_guard<std::recursive_mutex> guard(StripeOf(this));
    DeviceFile* open = file;
    if (open == nullptr) {
        return;  // closed normally, or never opened
    }
    // The device goes away while a handle is open: finish the requests in
    // progress, then close the file for the driver now; the handle stays and
    // names a file without a device.
    file = nullptr;
    open->fx.store(nullptr, std::memory_order_release);
    open->RunDown();
    RunClose(this);
}

DeviceFile::DeviceFile(FxDevice* device_) : ob::Object(ob::FileType()), device(device_) {}

std::string DeviceFile::Describe() const { return ob::Object::Describe() + " (device file)"; }

void DeviceFile::OnLastHandleClosed()
{
    FxFileObject* current = fx.load(std::memory_order_acquire);
    if (current == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> guard(StripeOf(current));
    if (fx.load(std::memory_order_acquire) == current) {
        RunCleanup(current);
    }
}

void DeviceFile::OnLastReference()
{
    FxFileObject* current = fx.load(std::memory_order_acquire);
    if (current == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> guard(StripeOf(current));
    if (fx.load(std::memory_order_acquire) != current) {
        return;  // the device's deletion got there first and closed it
    }
    fx.store(nullptr, std::memory_order_release);
    current->file = nullptr;
    RunClose(current);
    Delete(current);
}

bool DeviceFile::BeginRequest()
{
    if (active_.fetch_add(2, std::memory_order_acq_rel) & 1) {
        EndRequest();
        return false;
    }
    return true;
}

void DeviceFile::EndRequest()
{
    if (active_.fetch_sub(2, std::memory_order_acq_rel) == 3) {
        std::lock_guard<std::mutex> guard(drainLock_);
        drained_.notify_all();
    }
}

void DeviceFile::RunDown()
{
    active_.fetch_or(1, std::memory_order_acq_rel);
    std::unique_lock<std::mutex> lock(drainLock_);
    drained_.wait(lock, [this] { return active_.load(std::memory_order_acquire) == 1; });
}

NTSTATUS OpenDevice(FxDevice* device, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    HANDLE* handle)
{
    RequirePassive("IRP_MJ_CREATE");
    *handle = nullptr;
    auto* file = new DeviceFile(device);
    auto* fx = new FxFileObject(device, nullptr);
    NTSTATUS status = Register(fx, nullptr);
    if (!NT_SUCCESS(status)) {
        delete fx;
        ob::Dereference(file);
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(StripeOf(fx));
        file->fx.store(fx, std::memory_order_release);
        fx->file = file;
    }
    status = PresentCreate(device, fx, mode);
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard<std::recursive_mutex> guard(StripeOf(fx));
            file->fx.store(nullptr, std::memory_order_release);
            fx->file = nullptr;
            fx->cleanedUp = fx->closed = true;  // a failed create never gets a cleanup or close
            Delete(fx);
        }
        ob::Dereference(file);
        return status;
    }
    HANDLE inserted = ob::InsertHandle(file, ob::MapGenericAccess(ob::FileType(), desiredAccess), kernelHandle);
    // The handle holds the file now; without one, this runs the close path.
    ob::Dereference(file);
    if (inserted == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = inserted;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceDeviceFile(HANDLE handle, KPROCESSOR_MODE mode, DeviceFile** file, ACCESS_MASK* granted)
{
    *file = nullptr;
    ob::Object* object = nullptr;
    NTSTATUS status = ob::ReferenceByHandle(handle, 0, ob::FileType(), mode, &object, granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* deviceFile = dynamic_cast<DeviceFile*>(object);
    if (deviceFile == nullptr) {
        ob::Dereference(object);
        return STATUS_INVALID_DEVICE_REQUEST;  // a file on the C: drive has no device to talk to
    }
    *file = deviceFile;
    return STATUS_SUCCESS;
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
