/* Opening devices and sending them device controls, from user mode and from kernel components. */
#include <windows.h>

#include <cwchar>

#include "ntos/ke/irql.h"
#include "ntos/ps/process.h"
#include "um/client.h"
#include "um/overlapped.h"
#include "ntos/io/devicefile.h"
#include "ntos/io/deviceinterface.h"

namespace plat::um {
namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The I/O manager resolves the name through the object namespace to the device's stack.
NTSTATUS Open(const std::wstring& path, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode, bool kernelHandle,
              ULONG createOptions, HANDLE* handle)
{
    return io::OpenByName(KernelPath(path), desiredAccess, mode, kernelHandle, createOptions, handle);
}

}  // namespace

std::wstring KernelPath(const std::wstring& path)
{
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
        return L"\\??\\" + path.substr(4);
    }
    return path;
}

NTSTATUS IoControl(HANDLE device, ULONG code, const void* input, ULONG inputLength, void* output,
                   ULONG outputLength, ULONG_PTR* information)
{
    RequirePassive("NtDeviceIoControlFile");
    ULONG_PTR ignored = 0;
    return io::DeviceIoControl(device, UserMode, code, input, inputLength, output, outputLength,
                               information != nullptr ? information : &ignored);
}

NTSTATUS OpenDevice(const std::wstring& path, ACCESS_MASK desiredAccess, HANDLE* handle, ULONG createOptions)
{
    return NtOpenDevice(path, desiredAccess | SYNCHRONIZE, createOptions, handle);
}

NTSTATUS NtOpenDevice(const std::wstring& path, ACCESS_MASK desiredAccess, ULONG createOptions, HANDLE* handle)
{
    return Open(path, desiredAccess, UserMode, false, createOptions, handle);
}

NTSTATUS KernelIoControl(const std::wstring& path, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG_PTR* information)
{
    ULONG_PTR ignored = 0;
    information = information != nullptr ? information : &ignored;
    *information = 0;
    ProcessScope system(ProcessTable::Current().System());
    // A kernel component's ZwCreateFile without a synchronous-I/O option: the file has no file object lock.
    HANDLE handle = nullptr;
    NTSTATUS status = Open(path, GENERIC_READ | GENERIC_WRITE, KernelMode, true, 0, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = io::DeviceIoControl(handle, KernelMode, code, input, inputLength, output, outputLength, information);
    ob::CloseHandle(handle, KernelMode);
    return status;
}

}  // namespace plat::um

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Without FILE_FLAG_OVERLAPPED the handle is for synchronous I/O, as CreateFileW opens it.
    ULONG options = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) ? 0 : FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    NTSTATUS status = plat::um::OpenDevice(lpFileName, dwDesiredAccess, &handle, options);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr) {
        return plat::um::OverlappedIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                             nOutBufferSize, lpBytesReturned, lpOverlapped);
    }
    if (lpBytesReturned == nullptr) {
        // A synchronous call must say where the count goes.
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = plat::um::IoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                          nOutBufferSize, &information);
    if (NT_ERROR(status)) {
        *lpBytesReturned = 0;
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    *lpBytesReturned = static_cast<DWORD>(information);
    if (NT_WARNING(status)) {
        SetLastError(RtlNtStatusToDosError(status));  // STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA with the data
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    NTSTATUS status = plat::ob::CloseHandle(hObject, UserMode);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
