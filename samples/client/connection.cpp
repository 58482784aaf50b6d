/*
 * The connection manager's loop (see connection.h).
 *
 * The run's thread does the I/O and every registration change; the
 * configuration manager's callbacks, on threads of their own, only close the
 * handle when a removal needs it closed, note what happened and wake the run.
 * A callback may not unregister its own notification, so the run does that
 * once it has woken (Microsoft's "Registering for notification of device
 * interface arrival and device removal").
 */
#include <windows.h>
#include <cfgmgr32.h>
#include <stdlib.h>

#include "connection.h"

namespace {

// What became of the open device, as its handle's notifications tell.
enum DEVICE_STATE {
    DeviceOpen,
    DeviceQueried,     // closed for a query-remove; the removal may still be vetoed
    DeviceStays,       // the query-remove failed: the device is there to open again
    DeviceGone,        // removed, or surprise-removed
};

struct CONNECTION {
    const TVRX_CLIENT_OPTIONS* Options;
    HANDLE Lock;    // a mutex over Device and State, between the run and the callbacks
    HANDLE Wake;    // auto-reset: the interface arrived, or the device's state changed
    HANDLE Signal;  // auto-reset: the event the driver sets
    HANDLE Device;  // INVALID_HANDLE_VALUE while closed
    DEVICE_STATE State;
    HCMNOTIFICATION InterfaceNotification;
    HCMNOTIFICATION DeviceNotification;
};

// Returned inside the run when the device was let go: the run waits for it again.
const DWORD kDeviceLetGo = ERROR_DEVICE_REMOVED;

void Lock(CONNECTION* Connection) { WaitForSingleObject(Connection->Lock, INFINITE); }
void Unlock(CONNECTION* Connection) { ReleaseMutex(Connection->Lock); }

// Under the lock: closes the device handle if it is open.
void CloseDeviceLocked(CONNECTION* Connection)
{
    if (Connection->Device != INVALID_HANDLE_VALUE) {
        CloseHandle(Connection->Device);
        Connection->Device = INVALID_HANDLE_VALUE;
    }
}

// The interface's notifications: an arrival wakes a run that waits for the device.
DWORD CALLBACK OnInterfaceEvent(HCMNOTIFICATION Notification, PVOID Context, CM_NOTIFY_ACTION Action,
                                PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize)
{
    UNREFERENCED_PARAMETER(Notification);
    UNREFERENCED_PARAMETER(EventData);
    UNREFERENCED_PARAMETER(EventDataSize);
    CONNECTION* connection = (CONNECTION*)Context;
    if (Action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        SetEvent(connection->Wake);
    }
    return ERROR_SUCCESS;
}

// The handle's notifications. A query-remove is answered by closing the
// handle (an open handle would veto the removal); the registration stays to
// hear how the removal ends.
DWORD CALLBACK OnDeviceEvent(HCMNOTIFICATION Notification, PVOID Context, CM_NOTIFY_ACTION Action,
                             PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize)
{
    UNREFERENCED_PARAMETER(Notification);
    UNREFERENCED_PARAMETER(EventData);
    UNREFERENCED_PARAMETER(EventDataSize);
    CONNECTION* connection = (CONNECTION*)Context;
    Lock(connection);
    switch (Action) {
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVE:
        CloseDeviceLocked(connection);
        connection->State = DeviceQueried;
        break;
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED:
        // Also sent to a handle that was not asked (it registered after the
        // query went out): that one is still open and has nothing to do.
        if (connection->Device == INVALID_HANDLE_VALUE) {
            connection->State = DeviceStays;
        }
        break;
    case CM_NOTIFY_ACTION_DEVICEREMOVEPENDING:
    case CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE:
        // Either may come without a query first (a surprise removal).
        CloseDeviceLocked(connection);
        connection->State = DeviceGone;
        break;
    default:
        break;
    }
    Unlock(connection);
    SetEvent(connection->Wake);
    return ERROR_SUCCESS;
}

CONFIGRET RegisterNotification(CONNECTION* Connection, CM_NOTIFY_FILTER_TYPE Type, HANDLE Target,
                               PCM_NOTIFY_CALLBACK Callback, HCMNOTIFICATION* Notification)
{
    CM_NOTIFY_FILTER filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.cbSize = sizeof(filter);
    filter.FilterType = Type;
    if (Type == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) {
        filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_TAVRIX;
    } else {
        filter.u.DeviceHandle.hTarget = Target;
    }
    return CM_Register_Notification(&filter, Connection, Callback, Notification);
}

// The symbolic link of the first device that exposes the interface class, in
// *List (freed by the caller); ERROR_FILE_NOT_FOUND when there is none. The
// list can grow between asking its size and reading it, so a short buffer is
// asked again.
DWORD FindTavrixDevice(WCHAR** List)
{
    GUID interfaceClass = GUID_DEVINTERFACE_TAVRIX;
    for (;;) {
        ULONG length = 0;
        CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&length, &interfaceClass, NULL,
                                                          CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr != CR_SUCCESS) {
            return CM_MapCrToWin32Err(cr, ERROR_NOT_FOUND);
        }
        if (length <= 1) {
            return ERROR_FILE_NOT_FOUND;  // only the list's terminating empty string: no device
        }
        WCHAR* list = (WCHAR*)malloc(length * sizeof(WCHAR));
        if (list == NULL) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        cr = CM_Get_Device_Interface_ListW(&interfaceClass, NULL, list, length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr == CR_SUCCESS && list[0] != L'\0') {
            *List = list;
            return ERROR_SUCCESS;
        }
        free(list);
        if (cr == CR_SUCCESS) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (cr != CR_BUFFER_SMALL) {
            return CM_MapCrToWin32Err(cr, ERROR_NOT_FOUND);
        }
    }
}

// Opens the device and registers for its handle's notifications.
// ERROR_FILE_NOT_FOUND when there is no device to open (it may have gone
// between the list and the open).
DWORD OpenTavrixDevice(CONNECTION* Connection)
{
    WCHAR* path = NULL;
    DWORD error = FindTavrixDevice(&path);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    free(path);
    if (error == ERROR_PATH_NOT_FOUND) {
        error = ERROR_FILE_NOT_FOUND;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Lock(Connection);
    Connection->Device = device;
    Connection->State = DeviceOpen;
    Unlock(Connection);
    CONFIGRET cr = RegisterNotification(Connection, CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE, device, OnDeviceEvent,
                                        &Connection->DeviceNotification);
    if (cr != CR_SUCCESS) {
        Connection->DeviceNotification = NULL;
        Lock(Connection);
        CloseDeviceLocked(Connection);
        Unlock(Connection);
        return CM_MapCrToWin32Err(cr, ERROR_NOT_SUPPORTED);
    }
    return ERROR_SUCCESS;
}

// Lets the device go: its handle's registration first (a callback may still
// run until then), then the handle if no notification closed it.
void CloseTavrixDevice(CONNECTION* Connection)
{
    if (Connection->DeviceNotification != NULL) {
        CM_Unregister_Notification(Connection->DeviceNotification);
        Connection->DeviceNotification = NULL;
    }
    Lock(Connection);
    CloseDeviceLocked(Connection);
    Unlock(Connection);
}

// A device control on the open device, under the lock so that a removal's
// callback does not close the handle under it; kDeviceLetGo once it is closed.
DWORD Control(CONNECTION* Connection, DWORD Code, PVOID Input, DWORD InputLength, PVOID Output,
              DWORD OutputLength, DWORD* Returned)
{
    Lock(Connection);
    DWORD error = kDeviceLetGo;
    if (Connection->Device != INVALID_HANDLE_VALUE) {
        error = DeviceIoControl(Connection->Device, Code, Input, InputLength, Output, OutputLength, Returned, NULL)
                    ? ERROR_SUCCESS
                    : GetLastError();
    }
    Unlock(Connection);
    return error;
}

// Reads the entry of the current device mode in the selected table and hands
// it to OnEntry; *More is what OnEntry answered.
DWORD ReadAndReport(CONNECTION* Connection, BOOL* More)
{
    TVRX_DEVICE_MODE_ENTRY_INFO entry;
    DWORD returned = 0;
    DWORD error = Control(Connection, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, NULL, 0, &entry, sizeof(entry), &returned);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (returned != sizeof(entry)) {
        return ERROR_INVALID_DATA;
    }
    *More = Connection->Options->OnEntry(Connection->Options->Context, &entry);
    return ERROR_SUCCESS;
}

void Report(CONNECTION* Connection, TVRX_CLIENT_EVENT Event)
{
    if (Connection->Options->OnEvent != NULL) {
        Connection->Options->OnEvent(Connection->Options->Context, Event);
    }
}

// Waits for the stop event (ERROR_SUCCESS, *Stopped), the wake-up or the
// driver's signal (ERROR_SUCCESS, *Which), or the time-out (ERROR_TIMEOUT).
DWORD Wait(CONNECTION* Connection, BOOL WithSignal, BOOL* Stopped, HANDLE* Which)
{
    HANDLE handles[3];
    DWORD count = 0;
    if (Connection->Options->StopEvent != NULL) {
        handles[count++] = Connection->Options->StopEvent;
    }
    handles[count++] = Connection->Wake;
    if (WithSignal) {
        handles[count++] = Connection->Signal;
    }
    DWORD wait = WaitForMultipleObjects(count, handles, FALSE, Connection->Options->WaitMilliseconds);
    if (wait == WAIT_TIMEOUT) {
        return ERROR_TIMEOUT;
    }
    if (wait >= WAIT_OBJECT_0 + count) {
        return GetLastError();
    }
    *Which = handles[wait - WAIT_OBJECT_0];
    *Stopped = *Which == Connection->Options->StopEvent;
    return ERROR_SUCCESS;
}

// Waits for the wake-up: TRUE when it came, FALSE when the run is to end
// (the stop event, *Error ERROR_SUCCESS; or the wait failed, *Error why).
BOOL WokenUp(CONNECTION* Connection, DWORD* Error)
{
    BOOL stopped = FALSE;
    HANDLE which = NULL;
    *Error = Wait(Connection, FALSE, &stopped, &which);
    return *Error == ERROR_SUCCESS && !stopped;
}

// Once the handle was closed for a removal: waits until the removal has
// ended (kDeviceLetGo; *Reopen when it failed and the device stays), or the
// stop event (ERROR_SUCCESS).
DWORD AwaitRemoval(CONNECTION* Connection, BOOL* Reopen)
{
    for (;;) {
        Lock(Connection);
        DEVICE_STATE state = Connection->State;
        Unlock(Connection);
        if (state != DeviceQueried) {
            *Reopen = state == DeviceStays;
            return kDeviceLetGo;
        }
        DWORD error = ERROR_SUCCESS;
        if (!WokenUp(Connection, &error)) {
            return error;
        }
    }
}

// Follows the open device: registers the event, reads, selects the type,
// then answers the signals. ERROR_SUCCESS when the run is to end (stop, or
// OnEntry said so);
// kDeviceLetGo when a removal took the device (*Reopen: the removal failed
// and the device can be opened again at once).
DWORD Follow(CONNECTION* Connection, BOOL* Reopen)
{
    DWORD returned = 0;
    TVRX_SET_EVENT_INPUT registration;
    registration.EventHandle = (UINT64)(ULONG_PTR)Connection->Signal;
    DWORD error = Control(Connection, IOCTL_TVRX_SET_EVENT, &registration, sizeof(registration), NULL, 0, &returned);

    // The event is registered before the first read, so no change after
    // this read goes unseen.
    BOOL more = TRUE;
    if (error == ERROR_SUCCESS) {
        error = ReadAndReport(Connection, &more);
    }
    // The type takes effect before the call returns; the driver also sets
    // the event when it changed, which the loop below then answers.
    ULONG type = Connection->Options->RegulatoryType;
    if (error == ERROR_SUCCESS && more) {
        error = Control(Connection, IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof(type), NULL, 0, &returned);
    }
    if (error == ERROR_SUCCESS && more) {
        error = ReadAndReport(Connection, &more);
    }

    // One signal may stand for several changes (the event is auto-reset);
    // each read returns the newest entry.
    while (error == ERROR_SUCCESS && more) {
        BOOL stopped = FALSE;
        HANDLE which = NULL;
        error = Wait(Connection, TRUE, &stopped, &which);
        if (error != ERROR_SUCCESS || stopped) {
            break;
        }
        if (which == Connection->Signal) {
            error = ReadAndReport(Connection, &more);
            continue;
        }
        Lock(Connection);
        BOOL open = Connection->State == DeviceOpen;
        Unlock(Connection);
        if (!open) {
            error = kDeviceLetGo;
        }
    }
    if (error == kDeviceLetGo) {
        return AwaitRemoval(Connection, Reopen);
    }
    return error;
}

DWORD Run(CONNECTION* Connection)
{
    CONFIGRET cr = RegisterNotification(Connection, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE, NULL, OnInterfaceEvent,
                                        &Connection->InterfaceNotification);
    if (cr != CR_SUCCESS) {
        Connection->InterfaceNotification = NULL;
        return CM_MapCrToWin32Err(cr, ERROR_NOT_SUPPORTED);
    }
    // Registered before the device is looked for: one that arrives between
    // the two is seen (perhaps twice, which is harmless).
    BOOL first = TRUE;
    for (;;) {
        DWORD error = OpenTavrixDevice(Connection);
        // After a removal the interface may still be listed while the device
        // goes: a failed open then waits for the next arrival.
        if (error == ERROR_FILE_NOT_FOUND || (error != ERROR_SUCCESS && !first)) {
            if (!WokenUp(Connection, &error)) {
                return error;
            }
            continue;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        first = FALSE;
        Report(Connection, TvrxClientDeviceOpened);
        BOOL reopen = FALSE;
        error = Follow(Connection, &reopen);
        CloseTavrixDevice(Connection);
        if (error != kDeviceLetGo) {
            return error;
        }
        if (!reopen) {
            Report(Connection, TvrxClientDeviceClosed);
        }
    }
}

}  // namespace

DWORD TvrxClientRun(const TVRX_CLIENT_OPTIONS* Options)
{
    if (Options == NULL || Options->OnEntry == NULL || Options->RegulatoryType >= TVRX_REGULATORY_TYPE_COUNT) {
        return ERROR_INVALID_PARAMETER;
    }
    CONNECTION connection;
    ZeroMemory(&connection, sizeof(connection));
    connection.Options = Options;
    connection.Device = INVALID_HANDLE_VALUE;
    connection.Lock = CreateMutexW(NULL, FALSE, NULL);
    // Auto-reset: a wait that returns has consumed the signal it saw.
    connection.Wake = CreateEventW(NULL, FALSE, FALSE, NULL);
    connection.Signal = CreateEventW(NULL, FALSE, FALSE, NULL);
    DWORD error = ERROR_SUCCESS;
    if (connection.Lock == NULL || connection.Wake == NULL || connection.Signal == NULL) {
        error = GetLastError();
    } else {
        error = Run(&connection);
    }
    // No callback runs once the interface's registration is gone; closing
    // the device drops the driver's reference to the event too.
    if (connection.InterfaceNotification != NULL) {
        CM_Unregister_Notification(connection.InterfaceNotification);
    }
    if (connection.Lock != NULL) {
        CloseTavrixDevice(&connection);
    }
    if (connection.Signal != NULL) {
        CloseHandle(connection.Signal);
    }
    if (connection.Wake != NULL) {
        CloseHandle(connection.Wake);
    }
    if (connection.Lock != NULL) {
        CloseHandle(connection.Lock);
    }
    return error;
}
