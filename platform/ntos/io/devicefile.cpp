/* Files on devices: open, device control, cleanup and close as request packets. */
#include "ntos/io/devicefile.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "base/bugcheck.h"
#include "ntos/io/file.h"
#include "ntos/ke/irql.h"
#include "ntos/ps/process.h"
#include "ntos/se/security.h"

namespace plat::io {
namespace {

// The access the code's access bits ask of the handle.
bool HandleAllows(ULONG code, ACCESS_MASK granted)
{
    ULONG required = (code >> 14) & 3;
    if ((required & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) {
        return false;
    }
    return !((required & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA));
}

// The I/O manager probes the caller's buffers; a missing one with a length faults.
bool BuffersReadable(const void* input, ULONG inputLength, const void* output, ULONG outputLength)
{
    return (input != nullptr || inputLength == 0) && (output != nullptr || outputLength == 0);
}

// The probes the I/O manager makes of a user-mode device control's buffers
// as it builds the packet: both buffers of the buffered and direct methods
// (the input copied or the output locked down); for METHOD_NEITHER none, the
// driver probes what it uses.
bool ProbeBuffers(ULONG code, const void* input, ULONG inputLength, const void* output, ULONG outputLength)
{
    return METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER ||
           (ProbeUserBuffer(input, inputLength) && ProbeUserBuffer(output, outputLength));
}

// Sends a packet of the file to its device and waits for it; its status.
NTSTATUS SendAndWait(FileObject* file, Irp* irp)
{
    irp->file = file;
    if (IoCallDriver(file->device, irp) == STATUS_PENDING) {
        WaitForIrp(irp);
    }
    return irp->status;
}

// A cleanup or close: nothing reaches a device that is gone.
void SendFileRequest(FileObject* file, UCHAR major)
{
    if (!file->BeginRequest()) {
        return;
    }
    Irp* irp = IoAllocateIrp(0, KernelMode);
    irp->major = major;
    SendAndWait(file, irp);
    IoFreeIrp(irp);
    file->EndRequest();
}

// Lays out the packet's buffers the way the I/O manager does for the code's method.
size_t SystemBufferSize(ULONG code, ULONG inputLength, ULONG outputLength)
{
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        return std::max(inputLength, outputLength);
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        return inputLength;
    default:
        return 0;
    }
}

// Buffered output goes back as the driver reported it. A driver that reports
// more than the caller's buffer holds would have the I/O manager write past
// it: the KMDF verifier stops the completion of a user-mode request with an
// output buffer and a success status that does so (FxRequest::CompleteInternal).
ULONG_PTR CopyBack(const Irp* irp, void* output, ULONG outputLength)
{
    ULONG_PTR information = irp->information;
    if (METHOD_FROM_CTL_CODE(irp->ioControlCode) != METHOD_BUFFERED) {
        return std::min<ULONG_PTR>(information, outputLength);
    }
    if (information > outputLength && irp->requestorMode == UserMode && outputLength != 0 && NT_SUCCESS(irp->status)) {
        VerifierViolation("buffered output longer than the buffer",
                          "device control 0x" + std::to_string(irp->ioControlCode) + " completed with Information " +
                              std::to_string(information) + " for an output buffer of " +
                              std::to_string(outputLength) + " bytes");
    }
    information = std::min<ULONG_PTR>(information, outputLength);
    if (information != 0) {
        std::memcpy(output, irp->systemBuffer, information);
    }
    return information;
}

// The access an open gets: a user-mode open of the device (or of a name
// below a device with FILE_DEVICE_SECURE_OPEN) as the device's descriptor
// grants it to the caller's token; any other open what it asks for.
NTSTATUS GrantOpen(const DeviceObject* device, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool belowDevice,
                   ACCESS_MASK* granted)
{
    if (mode == KernelMode || (belowDevice && !(device->characteristics & FILE_DEVICE_SECURE_OPEN))) {
        *granted = ob::MapGenericAccess(ob::FileType(), desiredAccess);
        return STATUS_SUCCESS;
    }
    const se::SecurityDescriptor& descriptor =
        device->security != nullptr ? *device->security : *se::DefaultDeviceDescriptor();
    return se::AccessCheck(descriptor, CurrentProcess().Token(), desiredAccess, granted);
}

// A device-control packet of the file, its buffers laid out, on the thread's
// list; nullptr when the sender's process is ending and sends nothing more.
Irp* BuildDeviceControl(FileObject* file, KPROCESSOR_MODE mode, ACCESS_MASK granted, ULONG code, const void* input,
                        ULONG inputLength, void* output, ULONG outputLength, const void* key)
{
    Irp* irp = IoAllocateIrp(SystemBufferSize(code, inputLength, outputLength), mode);
    irp->major = kMjDeviceControl;
    irp->ioControlCode = code;
    irp->accessFlags = static_cast<UCHAR>(((granted & FILE_READ_DATA) ? SL_READ_ACCESS_GRANTED : 0) |
                                          ((granted & FILE_WRITE_DATA) ? SL_WRITE_ACCESS_GRANTED : 0));
    irp->inputLength = inputLength;
    irp->outputLength = outputLength;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
        irp->userInput = input;
    } else if (inputLength != 0) {
        std::memcpy(irp->systemBuffer, input, inputLength);
    }
    if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
        irp->userBuffer = output;  // locked down in place (direct) or the raw pointer (neither)
    }
    irp->userApcContext = key;
    irp->synchronousApi = file->synchronous;
    irp->file = file;
    if (!IoQueueThreadIrp(irp)) {
        IoFreeIrp(irp);
        return nullptr;
    }
    return irp;
}

// What the caller gets of a finished device control, and the packet freed.
ULONG_PTR FinishDeviceControl(Irp* irp, void* output, ULONG outputLength)
{
    ULONG_PTR information = NT_ERROR(irp->status) ? irp->information : CopyBack(irp, output, outputLength);
    IoDequeueThreadIrp(irp);
    IoFreeIrp(irp);
    return information;
}

// One device control of a file, the file's lock held when it has one.
NTSTATUS SendDeviceControl(FileObject* file, KPROCESSOR_MODE mode, ACCESS_MASK granted, ULONG code,
                           const void* input, ULONG inputLength, void* output, ULONG outputLength,
                           ULONG_PTR* information, const void* key)
{
    if (!file->BeginRequest()) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    Irp* irp = BuildDeviceControl(file, mode, granted, code, input, inputLength, output, outputLength, key);
    if (irp == nullptr) {
        file->EndRequest();
        return STATUS_PROCESS_IS_TERMINATING;
    }
    NTSTATUS status = SendAndWait(file, irp);
    *information = FinishDeviceControl(irp, output, outputLength);
    file->EndRequest();
    return status;
}

// An overlapped device control the device holds: what its end needs. The
// I/O manager's work at the end (Windows does it in the sender's thread, in
// an APC) runs here on the thread that completes the packet.
struct PendingControl {
    FileObject* file;  // referenced until the request ends
    void* output;
    ULONG outputLength;
    AsyncResult result;
};

NTSTATUS FinishOverlapped(DeviceObject*, Irp* irp, void* context)
{
    auto* pending = static_cast<PendingControl*>(context);
    NTSTATUS status = irp->status;
    ULONG_PTR information = FinishDeviceControl(irp, pending->output, pending->outputLength);
    pending->result.done(pending->result.context, status, information);
    pending->file->EndRequest();
    ob::Dereference(pending->file);
    delete pending;
    return STATUS_MORE_PROCESSING_REQUIRED;  // the packet is freed
}

// The file a device control may be sent on, referenced, or the status that refuses it.
NTSTATUS ReferenceControlFile(HANDLE handle, KPROCESSOR_MODE mode, ULONG code, const void* input, ULONG inputLength,
                              const void* output, ULONG outputLength, FileObject** file, ACCESS_MASK* granted)
{
    NTSTATUS status = ReferenceDeviceFile(handle, mode, file, granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (mode == UserMode && !HandleAllows(code, *granted)) {
        status = STATUS_ACCESS_DENIED;
    } else if (mode == UserMode && !ProbeBuffers(code, input, inputLength, output, outputLength)) {
        status = STATUS_ACCESS_VIOLATION;  // a kernel address: the packet is never built
    } else {
        return STATUS_SUCCESS;
    }
    ob::Dereference(*file);
    *file = nullptr;
    return status;
}

}  // namespace

NTSTATUS ReferenceDeviceFile(HANDLE handle, KPROCESSOR_MODE mode, FileObject** file, ACCESS_MASK* granted)
{
    ob::Object* object = nullptr;
    NTSTATUS status = ob::ReferenceByHandle(handle, 0, ob::FileType(), mode, &object, granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Files on the C: drive share the object type; their services are the kernel's Zw calls (file.cpp).
    if (typeid(*object) != typeid(FileObject)) {
        ob::Dereference(object);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *file = static_cast<FileObject*>(object);
    return STATUS_SUCCESS;
}

bool ProbeUserBuffer(const void* buffer, ULONG length)
{
    constexpr uintptr_t kUserProbeAddress = 0x7FFFFFFF0000;
    auto start = reinterpret_cast<uintptr_t>(buffer);
    return length == 0 || (buffer != nullptr && start < kUserProbeAddress && length <= kUserProbeAddress - start);
}

FileObject::FileObject(DeviceObject* device_, bool synchronous_)
    : ob::Object(ob::FileType()), device(device_), synchronous(synchronous_)
{
}

std::string FileObject::Describe() const { return ob::Object::Describe() + " (device file)"; }

void FileObject::OnLastHandleClosed()
{
    // The cleanup of a synchronous file waits for the request in progress on
    // it: the I/O manager takes the file object's lock before it sends
    // IRP_MJ_CLEANUP.
    LockForIo();
    SendFileRequest(this, kMjCleanup);
    UnlockForIo();
}

void FileObject::LockForIo()
{
    if (synchronous) {
        ioLock_.lock();
    }
}

void FileObject::UnlockForIo()
{
    if (synchronous) {
        ioLock_.unlock();
    }
}

void FileObject::OnLastReference() { SendFileRequest(this, kMjClose); }

bool FileObject::BeginRequest()
{
    if (active_.fetch_add(2, std::memory_order_acq_rel) & 1) {
        EndRequest();
        return false;
    }
    return true;
}

void FileObject::EndRequest()
{
    if (active_.fetch_sub(2, std::memory_order_acq_rel) == 3) {
        std::lock_guard<std::mutex> guard(drainLock_);
        drained_.notify_all();
    }
}

void FileObject::RunDown()
{
    active_.fetch_or(1, std::memory_order_acq_rel);
    std::unique_lock<std::mutex> lock(drainLock_);
    drained_.wait(lock, [this] { return active_.load(std::memory_order_acquire) == 1; });
}

NTSTATUS OpenDevice(DeviceObject* device, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    ULONG createOptions, HANDLE* handle, bool belowDevice)
{
    RequirePassive("IRP_MJ_CREATE");
    *handle = nullptr;
    if (!plat::file::SynchronousOptionsValid(createOptions, desiredAccess)) {
        return STATUS_INVALID_PARAMETER;
    }
    ACCESS_MASK granted = 0;
    NTSTATUS status = GrantOpen(device, desiredAccess, mode, belowDevice, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file =
        new FileObject(device, (createOptions & (FILE_SYNCHRONOUS_IO_NONALERT | FILE_SYNCHRONOUS_IO_ALERT)) != 0);
    file->grantedAccess = granted;
    Irp* irp = IoAllocateIrp(0, mode);
    irp->major = kMjCreate;
    status = SendAndWait(file, irp);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        // A failed create never gets a cleanup or close.
        file->RunDown();
        ob::Dereference(file);
        return status;
    }
    HANDLE inserted = ob::InsertHandle(file, granted, kernelHandle);
    // The handle holds the file now; without one, this runs the close path.
    ob::Dereference(file);
    if (inserted == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = inserted;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceIoControl(HANDLE handle, KPROCESSOR_MODE mode, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG_PTR* information)
{
    *information = 0;
    if (!BuffersReadable(input, inputLength, output, outputLength)) {
        return STATUS_ACCESS_VIOLATION;
    }
    FileObject* file = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceControlFile(handle, mode, code, input, inputLength, output, outputLength, &file, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A synchronous file's requests take turns: this one waits for the one in progress.
    file->LockForIo();
    status = SendDeviceControl(file, mode, granted, code, input, inputLength, output, outputLength, information,
                               nullptr);
    file->UnlockForIo();
    ob::Dereference(file);
    return status;
}

NTSTATUS DeviceIoControlOverlapped(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, const AsyncResult& result)
{
    if (!BuffersReadable(input, inputLength, output, outputLength)) {
        return STATUS_ACCESS_VIOLATION;
    }
    FileObject* file = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ReferenceControlFile(handle, UserMode, code, input, inputLength, output, outputLength, &file,
                                           &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (file->synchronous) {
        // The I/O manager waits on a synchronous file whatever the caller passed.
        ULONG_PTR information = 0;
        file->LockForIo();
        status = SendDeviceControl(file, UserMode, granted, code, input, inputLength, output, outputLength,
                                   &information, result.key);
        file->UnlockForIo();
        ob::Dereference(file);
        result.done(result.context, status, information);
        return status;
    }
    if (!file->BeginRequest()) {
        ob::Dereference(file);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    Irp* irp = BuildDeviceControl(file, UserMode, granted, code, input, inputLength, output, outputLength, result.key);
    if (irp == nullptr) {
        file->EndRequest();
        ob::Dereference(file);
        return STATUS_PROCESS_IS_TERMINATING;
    }
    IoSetCompletionRoutine(irp, nullptr, FinishOverlapped, new PendingControl{file, output, outputLength, result});
    return IoCallDriver(file->device, irp);
}

NTSTATUS SendFilePacket(FileObject* file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor, ULONG length,
                        ULONG_PTR* information)
{
    *information = 0;
    file->LockForIo();
    NTSTATUS status = STATUS_DEVICE_DOES_NOT_EXIST;
    if (file->BeginRequest()) {
        Irp* irp = IoAllocateIrp(0, mode);
        irp->major = major;
        irp->minor = minor;
        irp->outputLength = length;
        status = SendAndWait(file, irp);
        *information = irp->information;
        IoFreeIrp(irp);
        file->EndRequest();
    }
    file->UnlockForIo();
    return status;
}

}  // namespace plat::io

extern "C" NTSTATUS IoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess)
{
    auto* irp = reinterpret_cast<plat::io::Irp*>(Irp);
    if (irp == nullptr || irp->major != plat::io::kMjDeviceControl ||
        (RequiredAccess & ~(FILE_READ_ACCESS | FILE_WRITE_ACCESS)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->requestorMode == KernelMode) {
        return STATUS_SUCCESS;
    }
    if (((RequiredAccess & FILE_READ_ACCESS) && !(irp->accessFlags & SL_READ_ACCESS_GRANTED)) ||
        ((RequiredAccess & FILE_WRITE_ACCESS) && !(irp->accessFlags & SL_WRITE_ACCESS_GRANTED))) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}
