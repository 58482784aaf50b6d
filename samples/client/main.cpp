/*
 * tvrx-client: follows the device mode as a connection manager would and
 * prints each entry it reads. It waits for the device when there is none,
 * lets it go for a removal and opens it again when it comes back.
 *
 *   tvrx-client [regulatory-type]     (0, 1 or 2; 0 when left out)
 *
 * Runs until interrupted (Ctrl+C sets the stop event a service would set at
 * shutdown). Built for Windows only (wmain).
 */
#include <windows.h>
#include <initguid.h>  // this unit defines the interface GUID
#include <stdio.h>
#include <wchar.h>

#include "connection.h"

namespace {

HANDLE g_stop;

BOOL PrintEntry(PVOID Context, const TVRX_DEVICE_MODE_ENTRY_INFO* Entry)
{
    UNREFERENCED_PARAMETER(Context);
    wprintf(L"device mode %u: %u %u %u\n", Entry->DeviceMode, Entry->Value1, Entry->Value2, Entry->Value3);
    fflush(stdout);
    return TRUE;
}

VOID PrintEvent(PVOID Context, TVRX_CLIENT_EVENT Event)
{
    UNREFERENCED_PARAMETER(Context);
    wprintf(Event == TvrxClientDeviceOpened ? L"device opened\n" : L"device removed: waiting for it\n");
    fflush(stdout);
}

BOOL WINAPI OnConsoleControl(DWORD ControlType)
{
    UNREFERENCED_PARAMETER(ControlType);
    SetEvent(g_stop);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    g_stop = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (g_stop == NULL || !SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        fwprintf(stderr, L"tvrx-client: failed with Win32 error %lu\n", GetLastError());
        return 1;
    }
    TVRX_CLIENT_OPTIONS options = {};
    options.RegulatoryType = argc > 1 ? wcstoul(argv[1], NULL, 10) : 0;
    options.WaitMilliseconds = INFINITE;
    options.StopEvent = g_stop;
    options.OnEntry = PrintEntry;
    options.OnEvent = PrintEvent;
    DWORD error = TvrxClientRun(&options);
    if (error != ERROR_SUCCESS) {
        fwprintf(stderr, L"tvrx-client: failed with Win32 error %lu\n", error);
        return 1;
    }
    return 0;
}
