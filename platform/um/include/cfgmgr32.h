/*
 * Configuration manager calls of the simulated client processes: finding the
 * devices that expose a device interface, and following them (notifications).
 */
#pragma once

#include <ntdef.h>

typedef DWORD CONFIGRET;
typedef WCHAR* DEVINSTID_W;
typedef WCHAR* PZZWSTR;

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_BUFFER_SMALL 0x0000001A
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_DATA 0x0000001F
#define CR_FAILURE 0x00000013
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001
#define CM_GET_DEVICE_INTERFACE_LIST_BITS 0x00000001

#define MAX_DEVICE_ID_LEN 200

typedef struct HCMNOTIFICATION__* HCMNOTIFICATION;
typedef HCMNOTIFICATION* PHCMNOTIFICATION;

typedef enum _CM_NOTIFY_FILTER_TYPE {
    CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
    CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE,
    CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE,
    CM_NOTIFY_FILTER_TYPE_MAX
} CM_NOTIFY_FILTER_TYPE, *PCM_NOTIFY_FILTER_TYPE;

#define CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES 0x00000001
#define CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES 0x00000002

typedef struct _CM_NOTIFY_FILTER {
    DWORD cbSize;
    DWORD Flags;
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
        } DeviceInterface;
        struct {
            HANDLE hTarget;
        } DeviceHandle;
        struct {
            WCHAR InstanceId[MAX_DEVICE_ID_LEN];
        } DeviceInstance;
    } u;
} CM_NOTIFY_FILTER, *PCM_NOTIFY_FILTER;

typedef enum _CM_NOTIFY_ACTION {
    CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
    CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVE,
    CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED,
    CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
    CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE,
    CM_NOTIFY_ACTION_DEVICECUSTOMEVENT,
    CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED,
    CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED,
    CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED,
    CM_NOTIFY_ACTION_MAX
} CM_NOTIFY_ACTION, *PCM_NOTIFY_ACTION;

typedef struct _CM_NOTIFY_EVENT_DATA {
    CM_NOTIFY_FILTER_TYPE FilterType;
    DWORD Reserved;
    union {
        struct {
            GUID ClassGuid;
            WCHAR SymbolicLink[1];
        } DeviceInterface;
        struct {
            GUID EventGuid;
            LONG NameOffset;
            DWORD DataSize;
            BYTE Data[1];
        } DeviceHandle;
        struct {
            WCHAR InstanceId[1];
        } DeviceInstance;
    } u;
} CM_NOTIFY_EVENT_DATA, *PCM_NOTIFY_EVENT_DATA;

typedef DWORD (*PCM_NOTIFY_CALLBACK)(HCMNOTIFICATION hNotify, PVOID Context, CM_NOTIFY_ACTION Action,
                                     PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize);

EXTERN_C_START

// Registers the callback for the filter's events, delivered one at a time,
// in order, on a thread of the calling process. Device interface filters
// (one class) get arrival and removal; device handle filters (a handle of
// the process on a device) get query-remove (a callback that returns an
// error vetoes it), query-remove-failed, remove-pending and remove-complete.
CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext, PCM_NOTIFY_CALLBACK pCallback,
                                   PHCMNOTIFICATION pNotifyContext);
// Ends the registration once a callback in progress has returned. Called
// from the registration's own callback it does not wait (Windows would deadlock).
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);
// The Win32 error of a configuration manager return code; DefaultErr for one without.
DWORD CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);

// Characters (not bytes) that the list of interfaces of the class needs, with
// its terminating empty string. pDeviceID limits the list to one device instance.
CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags);
// The symbolic links (\\?\...) of the interfaces, one string each, then an
// empty string. BufferLen counts characters.
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);

EXTERN_C_END
