/* Overlapped device controls (DeviceIoControl with an OVERLAPPED). */
#pragma once
#include <windows.h>

namespace plat::um {

// DeviceIoControl with an OVERLAPPED, as kernel32 does it: on a handle opened
// with FILE_FLAG_OVERLAPPED a request the device holds gives FALSE with
// ERROR_IO_PENDING, and the OVERLAPPED (Internal: the status, InternalHigh:
// the count) and its event, set when the request ends, tell the end;
// GetOverlappedResult reads them. On a synchronous handle the call waits, and
// fills in the OVERLAPPED as well.
BOOL OverlappedIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                         DWORD outputLength, LPDWORD bytesReturned, LPOVERLAPPED overlapped);

}  // namespace plat::um
