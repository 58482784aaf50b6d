/*
 * Configuration manager calls of the simulated client processes: finding the
 * devices that expose a device interface.
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
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001
#define CM_GET_DEVICE_INTERFACE_LIST_BITS 0x00000001

EXTERN_C_START

// Characters (not bytes) that the list of interfaces of the class needs, with
// its terminating empty string. pDeviceID limits the list to one device instance.
CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags);
// The symbolic links (\\?\...) of the interfaces, one string each, then an
// empty string. BufferLen counts characters.
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags);

EXTERN_C_END
