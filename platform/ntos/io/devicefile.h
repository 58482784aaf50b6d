/*
 * Files opened on devices, and the system services that use them: open
 * (IRP_MJ_CREATE), device control (IRP_MJ_DEVICE_CONTROL), and the cleanup
 * and close that follow the last handle and the last reference
 * (IRP_MJ_CLEANUP, IRP_MJ_CLOSE). Each request is a packet sent to the top of
 * the file's device stack.
 *
 * A file holds run-down protection of its device for each request in
 * progress: when the device goes away, its driver runs the file down (no new
 * request reaches it, and those in progress finish first), and the file's
 * handles then name a file without a device.
 *
 * A file opened for synchronous I/O (FILE_SYNCHRONOUS_IO_NONALERT, which is
 * what CreateFileW without FILE_FLAG_OVERLAPPED asks for; FO_SYNCHRONOUS_IO)
 * has the file object's lock: the I/O manager serialises the requests of
 * such a file, each holding the lock from before its packet is sent until it
 * has completed, and the cleanup that follows the last handle takes the lock
 * too. So closing the last handle while another thread's synchronous request
 * on the file is still in the driver waits for that request, and only then
 * does the driver see IRP_MJ_CLEANUP (the documented way to end such a wait
 * is to cancel the request, CancelSynchronousIo). A file opened without the
 * option (an overlapped or kernel open) has no such lock: its cleanup comes
 * at once, and the framework cancels what its queues still hold of it.
 *
 * A user-mode open is checked against the device's security descriptor
 * before any packet is built: the access granted is what the handle and the
 * file get, and a refusal is STATUS_ACCESS_DENIED. An open of a name below
 * the device (<device>\anything) is checked the same way when the device
 * has FILE_DEVICE_SECURE_OPEN; without it the device's driver judges such
 * names itself. Kernel-mode opens are not checked. Each device control
 * carries what its handle allows (SL_READ_ACCESS_GRANTED,
 * SL_WRITE_ACCESS_GRANTED), for IoValidateDeviceIoControlAccess.
 */
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ntos/io/irp.h"
#include "ntos/ob/object.h"

namespace plat::io {

struct FileObject : ob::Object {
    FileObject(DeviceObject* device, bool synchronous);
    void OnLastHandleClosed() override;  // IRP_MJ_CLEANUP
    void OnLastReference() override;     // IRP_MJ_CLOSE
    std::string Describe() const override;

    // Brackets a request of this file; false once the device is gone.
    bool BeginRequest();
    void EndRequest();
    // Refuses new requests and waits for those in progress (the device goes away).
    void RunDown();

    // The file object's lock of a synchronous file: held by the thread whose
    // request is in progress, and by the cleanup of the last handle.
    void LockForIo();
    void UnlockForIo();

    DeviceObject* const device;        // valid while a request is in progress (BeginRequest)
    const bool synchronous;            // FO_SYNCHRONOUS_IO
    std::atomic<void*> fsContext{nullptr};  // the driver's record of the open
    ACCESS_MASK grantedAccess = 0;          // what the open was granted (set before the file has a handle)
    std::atomic<LONGLONG> currentByteOffset{0};  // CurrentByteOffset: a synchronous file's position

private:
    std::atomic<uint64_t> active_{0};  // requests in progress << 1 | gone
    std::mutex drainLock_;
    std::condition_variable drained_;
    std::mutex ioLock_;  // the file object's lock (synchronous files only)
};

// The file on a device behind a handle of the current process (or a kernel
// handle, from kernel mode), referenced, with the handle's access. A file on
// the C: drive shares the object type but has no device to talk to:
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS ReferenceDeviceFile(HANDLE handle, KPROCESSOR_MODE mode, FileObject** file, ACCESS_MASK* granted);

// ProbeForRead and ProbeForWrite of a user-mode caller's buffer: one of
// nonzero length must be present and lie wholly below the user probe address
// (MM_USER_PROBE_ADDRESS of 64-bit Windows), else the probe raises
// STATUS_ACCESS_VIOLATION; one of zero length is not checked at all.
bool ProbeUserBuffer(const void* buffer, ULONG length);

// Opens the device as NtCreateFile does: the device's driver sees an
// IRP_MJ_CREATE on the calling thread; when it completes it successfully, a
// handle is inserted into the kernel's table (kernelHandle) or the current
// process's. The failure status of the create otherwise; a failed create
// never gets a cleanup or close. createOptions as NtCreateFile takes them:
// FILE_SYNCHRONOUS_IO_NONALERT or FILE_SYNCHRONOUS_IO_ALERT opens the file
// for synchronous I/O; both at once, or either without SYNCHRONIZE in
// desiredAccess, is STATUS_INVALID_PARAMETER before anything else.
// belowDevice: the name opened goes on below the device's own
// (<device>\anything).
NTSTATUS OpenDevice(DeviceObject* device, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
                    ULONG createOptions, HANDLE* handle, bool belowDevice = false);

// NtDeviceIoControlFile on a handle of the current process (or a kernel
// handle, from kernel mode). The handle must allow the access the code asks
// for. The buffers are laid out for the code's method: buffered, one system
// buffer of max(input, output) bytes holds the input and, when the request
// completes with a success or warning status, Information bytes of it are
// copied back; for an error nothing is copied back. *information is what the
// request completed with. The call waits for a request its device holds (for
// a file without FO_SYNCHRONOUS_IO, as a caller that waits for its
// overlapped request at once); on a synchronous file it first waits for the
// file object's lock. A user-mode caller's buffers of the buffered and
// direct methods are probed (ProbeForRead, ProbeForWrite) after the handle's
// access is checked: one of nonzero length that reaches the kernel's part of
// the address space fails with STATUS_ACCESS_VIOLATION before any packet.
NTSTATUS DeviceIoControl(HANDLE handle, KPROCESSOR_MODE mode, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG_PTR* information);

// Where an overlapped device control reports its end.
struct AsyncResult {
    const void* key = nullptr;  // the caller's OVERLAPPED: CancelIoEx names the request by it
    void (*done)(void* context, NTSTATUS status, ULONG_PTR information) = nullptr;
    void* context = nullptr;
};

// NtDeviceIoControlFile from user mode with an OVERLAPPED. On a file opened
// without FO_SYNCHRONOUS_IO the call does not wait: STATUS_PENDING while the
// device holds the request. Once the request has ended (at once or later,
// on the thread that completes it) the output is copied back as
// DeviceIoControl copies it and result.done is called. On a synchronous file
// the call waits as DeviceIoControl does, then calls result.done. A request
// refused before it was sent (a bad handle or buffer, access the handle does
// not allow) returns its status and never calls result.done.
NTSTATUS DeviceIoControlOverlapped(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, const AsyncResult& result);

// The other system services of a file on a device: NtReadFile,
// NtWriteFile, NtFlushBuffersFile, NtLockFile, NtUnlockFile,
// NtQueryInformationFile, NtSetInformationFile,
// NtQueryVolumeInformationFile and NtQueryEaFile. Each checks its
// parameters, the handle's access and (from user mode) the caller's buffer as
// Windows documents them, answers what the I/O manager answers itself
// (FileAccessInformation, FileModeInformation, FileAlignmentInformation, and
// FilePositionInformation of a synchronous file), and sends the rest to the
// device as a packet of its major function (IRP_MJ_READ, IRP_MJ_WRITE,
// IRP_MJ_FLUSH_BUFFERS, IRP_MJ_LOCK_CONTROL, IRP_MJ_QUERY_INFORMATION,
// IRP_MJ_SET_INFORMATION, IRP_MJ_QUERY_VOLUME_INFORMATION, IRP_MJ_QUERY_EA).
// The packet carries the buffer's length, not the buffer: no driver the
// framework serves here takes these requests (the framework refuses them).
enum class FileService : UCHAR {
    Read,
    Write,
    Flush,
    Lock,
    Unlock,
    QueryInformation,
    SetInformation,
    QueryVolumeInformation,
    QueryEa,
};
struct FileServiceCall {
    FileService service = FileService::Flush;
    void* buffer = nullptr;                // read, write, the queries and the set
    ULONG length = 0;                      // of the buffer; of the range a lock or unlock names
    ULONG informationClass = 0;            // FILE_INFORMATION_CLASS or FS_INFORMATION_CLASS
    const LONGLONG* byteOffset = nullptr;  // read, write, lock, unlock; nullptr: none given
};
// *information: what the request completed with (bytes read, written or returned).
NTSTATUS CallFileService(HANDLE handle, KPROCESSOR_MODE mode, const FileServiceCall& call, ULONG_PTR* information);

// Sends a packet of the major (and minor) function, carrying `length`, to
// the device of the file (under the file's lock when it has one) and waits
// for it: its status and Information. STATUS_DEVICE_DOES_NOT_EXIST when the
// device is gone.
NTSTATUS SendFilePacket(FileObject* file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor, ULONG length,
                        ULONG_PTR* information);

}  // namespace plat::io
