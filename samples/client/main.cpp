/*
 * tvrx-client: follows the device mode as a connection manager would and
 * prints each entry it reads.
 *
 *   tvrx-client [regulatory-type]     (0, 1 or 2; 0 when left out)
 *
 * Runs until interrupted. Built for Windows only (wmain).
 */
#include <windows.h>
#include <initguid.h>  // this unit defines the interface GUID
#include <stdio.h>
#include <wchar.h>

#include "connection.h"

namespace {

BOOL PrintEntry(PVOID Context, const TVRX_DEVICE_MODE_ENTRY_INFO* Entry)
{
    UNREFERENCED_PARAMETER(Context);
    wprintf(L"device mode %u: %u %u %u\n", Entry->DeviceMode, Entry->Value1, Entry->Value2, Entry->Value3);
    fflush(stdout);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    TVRX_CLIENT_OPTIONS options = {};
    options.RegulatoryType = argc > 1 ? wcstoul(argv[1], NULL, 10) : 0;
    options.WaitMilliseconds = INFINITE;
    options.OnEntry = PrintEntry;
    DWORD error = TvrxClientRun(&options);
    if (error != ERROR_SUCCESS) {
        fwprintf(stderr, L"tvrx-client: failed with Win32 error %lu\n", error);
        return 1;
    }
    return 0;
}
