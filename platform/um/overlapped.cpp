/*
 * Overlapped device controls, their results, and the calls that cancel
 * requests: CancelIoEx (a handle's requests, or those of one OVERLAPPED) and
 * CancelSynchronousIo (the synchronous request a thread waits for).
 */
#include "um/overlapped.h"

#include <condition_variable>
#include <mutex>

#include "ntos/io/devicefile.h"
#include "ntos/ke/irql.h"
#include "ntos/ps/process.h"

namespace plat::um {
namespace {

// GetOverlappedResult's waits: every overlapped request that ends wakes them.
std::mutex g_endedLock;
std::condition_variable g_ended;

// What the end of an overlapped request writes: the caller's OVERLAPPED and
// its event (referenced when the request was sent, as the I/O manager does).
struct OverlappedEnd {
    LPOVERLAPPED overlapped;
    ob::Object* event;
};

NTSTATUS ReadStatus(const OVERLAPPED* overlapped)
{
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

void RequestEnded(void* context, NTSTATUS status, ULONG_PTR information)
{
    auto* end = static_cast<OverlappedEnd*>(context);
    {
        std::lock_guard<std::mutex> guard(g_endedLock);
        end->overlapped->InternalHigh = information;
        __atomic_store_n(&end->overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                         __ATOMIC_RELEASE);
        g_ended.notify_all();
    }
    if (end->event != nullptr) {
        KeSetEvent(static_cast<PKEVENT>(end->event->Body()), IO_NO_INCREMENT, FALSE);
        ob::Dereference(end->event);
    }
    delete end;
}

// The Win32 answer for a status: FALSE with its error for an error or warning.
BOOL Answer(NTSTATUS status)
{
    if (status == STATUS_SUCCESS || (NT_SUCCESS(status) && !NT_WARNING(status) && status != STATUS_PENDING)) {
        return TRUE;
    }
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

}  // namespace

BOOL OverlappedIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                         DWORD outputLength, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    RequirePassive("NtDeviceIoControlFile");
    ob::Object* event = nullptr;
    if (overlapped->hEvent != nullptr) {
        ACCESS_MASK granted = 0;
        NTSTATUS status =
            ob::ReferenceByHandle(overlapped->hEvent, EVENT_MODIFY_STATE, ob::EventType(), UserMode, &event, &granted);
        if (!NT_SUCCESS(status)) {
            SetLastError(RtlNtStatusToDosError(status));
            return FALSE;
        }
        KeClearEvent(static_cast<PKEVENT>(event->Body()));
    }
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
    overlapped->InternalHigh = 0;
    io::AsyncResult result;
    result.key = overlapped;
    result.done = RequestEnded;
    result.context = new OverlappedEnd{overlapped, event};
    NTSTATUS status = io::DeviceIoControlOverlapped(device, code, input, inputLength, output, outputLength, result);
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (ReadStatus(overlapped) == STATUS_PENDING) {
        // Refused before it was sent: nothing ends it.
        if (event != nullptr) {
            ob::Dereference(event);
        }
        delete static_cast<OverlappedEnd*>(result.context);
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<DWORD>(NT_ERROR(status) ? 0 : overlapped->InternalHigh);
    }
    return Answer(status);
}

}  // namespace plat::um

using namespace plat;

extern "C" {

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    (void)hFile;
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (um::ReadStatus(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::unique_lock<std::mutex> lock(um::g_endedLock);
        um::g_ended.wait(lock, [lpOverlapped] { return um::ReadStatus(lpOverlapped) != STATUS_PENDING; });
    }
    NTSTATUS status = um::ReadStatus(lpOverlapped);
    *lpNumberOfBytesTransferred = static_cast<DWORD>(NT_ERROR(status) ? 0 : lpOverlapped->InternalHigh);
    return um::Answer(status);
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    ob::Object* object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ob::ReferenceByHandle(hFile, 0, ob::FileType(), UserMode, &object, &granted);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    // Only the calling process's requests, whichever of its threads sent them.
    size_t found = io::IoCancelFileIo(&CurrentProcess(), static_cast<io::FileObject*>(object), lpOverlapped);
    ob::Dereference(object);
    if (found == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelSynchronousIo(HANDLE hThread)
{
    ob::Object* object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ob::ReferenceByHandle(hThread, THREAD_TERMINATE, ob::ThreadType(), UserMode, &object, &granted);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    size_t found = io::IoCancelSynchronousIo(static_cast<ThreadObject*>(object)->id);
    ob::Dereference(object);
    if (found == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentThreadId(VOID) { return static_cast<DWORD>(io::ThreadId()); }

HANDLE OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    (void)bInheritHandle;
    auto* thread = new ThreadObject(dwThreadId);
    HANDLE handle = ob::InsertHandle(thread, ob::MapGenericAccess(ob::ThreadType(), dwDesiredAccess), false);
    ob::Dereference(thread);
    if (handle == nullptr) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    }
    return handle;
}

}  // extern "C"
