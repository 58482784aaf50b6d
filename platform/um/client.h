/*
 * Simulated user-mode processes and the NT-level calls that tests use beside
 * the Win32 API of <windows.h>:
 *
 *   plat::um::Process client("clientA");
 *   client.Run([&] {
 *       HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
 *       ...
 *   });
 *
 * Run() executes on the calling thread as the process; Thread() starts a
 * thread of the process. Ending the process (destructor or Exit()) closes its
 * handles as process exit does.
 */
#pragma once
#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ntos/ps/process.h"

namespace plat::um {

class Process {
public:
    // A process running as an account of the kind (a service's LocalService unless told otherwise).
    explicit Process(const std::string& name, se::TokenKind kind = se::TokenKind::LocalService);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    template <class F>
    decltype(auto) Run(F&& f)
    {
        ProcessScope scope(*process_);
        return std::forward<F>(f)();
    }
    // A thread of this process; the caller joins it before the process ends.
    // At its end the requests it sent and has not seen finish are cancelled
    // and waited for, as thread exit does.
    std::thread Thread(std::function<void()> body);
    // Ends the process now (idempotent).
    void Exit();

    ULONG Id() const { return process_->Id(); }
    const std::string& Name() const { return process_->Name(); }
    plat::Process& Native() { return *process_; }

private:
    std::shared_ptr<plat::Process> process_;
};

// NtDeviceIoControlFile on a handle of the current process, from user mode:
// the exact status and information. For an error status the information is
// what the driver completed the request with; otherwise it is the number of
// bytes copied back to the output buffer.
NTSTATUS IoControl(HANDLE device, ULONG code, const void* input, ULONG inputLength, void* output,
                   ULONG outputLength, ULONG_PTR* information);

// Opens a device by its interface path (\\?\... or \??\...) in the current
// process from user mode as CreateFileW does: the exact status of the
// create. CreateFileW asks for SYNCHRONIZE beside the access it is given, as
// this does. The create options are NtCreateFile's: by default the file is
// for synchronous I/O, as CreateFileW without FILE_FLAG_OVERLAPPED opens it
// (its requests take turns and closing its last handle waits for the one in
// progress); 0 opens it as an overlapped open does, and IoControl on it then
// waits for its request as a caller that waits for the overlapped result at once.
NTSTATUS OpenDevice(const std::wstring& path, ACCESS_MASK desiredAccess, HANDLE* handle,
                    ULONG createOptions = FILE_SYNCHRONOUS_IO_NONALERT);
// NtCreateFile of a device path from user mode, the access and the options
// exactly as given (a synchronous open without SYNCHRONIZE is refused).
NTSTATUS NtOpenDevice(const std::wstring& path, ACCESS_MASK desiredAccess, ULONG createOptions, HANDLE* handle);
// A kernel component's device control: opens the device with a kernel handle
// in the System process, sends the request with requestor mode KernelMode,
// and closes the handle again.
NTSTATUS KernelIoControl(const std::wstring& path, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG_PTR* information);

// Ends the configuration manager notifications the process registered (its
// exit does, as on Windows).
void EndNotifications(plat::Process& process);

// Waits until every configuration manager notification posted so far has
// been delivered (its callback returned) or dropped by its unregistration.
// Not from a callback.
void DrainNotifications();
// Inside a notification callback: the notification's place among all posted
// (from 1), which orders the callbacks of different registrations as their
// events came; 0 outside a callback.
uint64_t NotificationSequence();

// The first path CM_Get_Device_Interface_ListW gives for the class (a
// \\?\... path), or an empty one when no interface of it is enabled.
std::wstring FirstDeviceInterface(const GUID& classGuid);

// The kernel path (\??\...) of a device path in any of the forms clients use.
std::wstring KernelPath(const std::wstring& path);

}  // namespace plat::um
