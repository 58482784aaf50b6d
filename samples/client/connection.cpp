/*
 * The connection manager's loop (see connection.h).
 */
#include <windows.h>
#include <cfgmgr32.h>
#include <stdlib.h>

#include "connection.h"

namespace {

// Opens the first device that exposes the interface class. The list can grow
// between asking its size and reading it, so a short buffer is asked again.
DWORD OpenTavrixDevice(HANDLE* Device)
{
    GUID interfaceClass = GUID_DEVINTERFACE_TAVRIX;
    for (int attempt = 0; attempt < 4; attempt++) {
        ULONG length = 0;
        CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&length, &interfaceClass, NULL,
                                                          CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr != CR_SUCCESS) {
            return ERROR_NOT_FOUND;
        }
        if (length <= 1) {
            return ERROR_FILE_NOT_FOUND;  // only the list's terminating empty string: no device
        }
        WCHAR* list = (WCHAR*)malloc(length * sizeof(WCHAR));
        if (list == NULL) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        cr = CM_Get_Device_Interface_ListW(&interfaceClass, NULL, list, length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr == CR_BUFFER_SMALL) {
            free(list);
            continue;
        }
        if (cr != CR_SUCCESS || list[0] == L'\0') {
            free(list);
            return ERROR_FILE_NOT_FOUND;
        }
        *Device = CreateFileW(list, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        free(list);
        return *Device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

// Reads the entry of the current device mode in the selected table and hands
// it to OnEntry; *More is what OnEntry answered.
DWORD ReadAndReport(HANDLE Device, const TVRX_CLIENT_OPTIONS* Options, BOOL* More)
{
    TVRX_DEVICE_MODE_ENTRY_INFO entry;
    DWORD returned = 0;
    if (!DeviceIoControl(Device, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, NULL, 0, &entry, sizeof(entry), &returned,
                         NULL)) {
        return GetLastError();
    }
    if (returned != sizeof(entry)) {
        return ERROR_INVALID_DATA;
    }
    *More = Options->OnEntry(Options->Context, &entry);
    return ERROR_SUCCESS;
}

// Registers, reads, selects the type, then follows the signals.
DWORD Follow(HANDLE Device, HANDLE Event, const TVRX_CLIENT_OPTIONS* Options)
{
    DWORD returned = 0;
    TVRX_SET_EVENT_INPUT registration;
    registration.EventHandle = (UINT64)(ULONG_PTR)Event;
    if (!DeviceIoControl(Device, IOCTL_TVRX_SET_EVENT, &registration, sizeof(registration), NULL, 0, &returned,
                         NULL)) {
        return GetLastError();
    }

    // The event is registered before the first read, so no change after
    // this read goes unseen.
    BOOL more = TRUE;
    DWORD error = ReadAndReport(Device, Options, &more);
    if (error != ERROR_SUCCESS || !more) {
        return error;
    }

    // The type takes effect before the call returns; the driver also sets
    // the event when it changed, which the loop below then answers.
    ULONG type = Options->RegulatoryType;
    if (!DeviceIoControl(Device, IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof(type), NULL, 0, &returned, NULL)) {
        return GetLastError();
    }
    error = ReadAndReport(Device, Options, &more);

    // One signal may stand for several changes (the event is auto-reset);
    // each read returns the newest entry.
    while (error == ERROR_SUCCESS && more) {
        DWORD wait = WaitForSingleObject(Event, Options->WaitMilliseconds);
        if (wait == WAIT_TIMEOUT) {
            return ERROR_TIMEOUT;
        }
        if (wait != WAIT_OBJECT_0) {
            return GetLastError();
        }
        error = ReadAndReport(Device, Options, &more);
    }
    return error;
}

}  // namespace

DWORD TvrxClientRun(const TVRX_CLIENT_OPTIONS* Options)
{
    if (Options == NULL || Options->OnEntry == NULL || Options->RegulatoryType >= TVRX_REGULATORY_TYPE_COUNT) {
        return ERROR_INVALID_PARAMETER;
    }
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = OpenTavrixDevice(&device);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // Auto-reset: a wait that returns has consumed the signal it saw.
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (event == NULL) {
        error = GetLastError();
        CloseHandle(device);
        return error;
    }
    error = Follow(device, event, Options);
    // Closing the device drops the driver's reference to the event too.
    CloseHandle(device);
    CloseHandle(event);
    return error;
}
