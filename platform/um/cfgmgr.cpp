/* Finding device interfaces: the configuration manager's interface lists. */
#include <windows.h>

#include <algorithm>
#include <string>

#include "ntos/io/deviceinterface.h"
#include "um/client.h"

namespace {

// The user-mode paths (\\?\...) of the class's enabled interfaces, as the I/O
// manager lists them, each with its terminator, then the final one.
std::wstring InterfaceList(const GUID& classGuid, DEVINSTID_W deviceId)
{
    std::wstring list;
    for (const std::wstring& link : plat::io::IoGetDeviceInterfaces(classGuid, deviceId)) {
        list += L"\\\\?\\" + link.substr(4);
        list += L'\0';
    }
    list += L'\0';
    return list;
}

}  // namespace

namespace plat::um {

std::wstring FirstDeviceInterface(const GUID& classGuid)
{
    GUID guid = classGuid;
    for (;;) {
        ULONG length = 0;
        if (CM_Get_Device_Interface_List_SizeW(&length, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
            CR_SUCCESS) {
            return std::wstring();
        }
        std::wstring list(length, L'\0');
        CONFIGRET result =
            CM_Get_Device_Interface_ListW(&guid, nullptr, list.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (result == CR_SUCCESS) {
            return std::wstring(list.c_str());
        }
        if (result != CR_BUFFER_SMALL) {
            return std::wstring();
        }
        // An interface arrived between the two calls: ask again.
    }
}

}  // namespace plat::um

extern "C" {

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID,
                                             ULONG ulFlags)
{
    if (pulLen == nullptr || InterfaceClassGuid == nullptr) {
        return CR_INVALID_POINTER;
    }
    *pulLen = 0;
    if (ulFlags & ~CM_GET_DEVICE_INTERFACE_LIST_BITS) {
        return CR_INVALID_FLAG;
    }
    *pulLen = static_cast<ULONG>(InterfaceList(*InterfaceClassGuid, pDeviceID).size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID InterfaceClassGuid, DEVINSTID_W pDeviceID, PZZWSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags)
{
    if (InterfaceClassGuid == nullptr || Buffer == nullptr || BufferLen == 0) {
        return CR_INVALID_POINTER;
    }
    if (ulFlags & ~CM_GET_DEVICE_INTERFACE_LIST_BITS) {
        return CR_INVALID_FLAG;
    }
    std::wstring list = InterfaceList(*InterfaceClassGuid, pDeviceID);
    if (list.size() > BufferLen) {
        Buffer[0] = L'\0';  // interfaces may have appeared since the size was asked
        return CR_BUFFER_SMALL;
    }
    std::copy(list.begin(), list.end(), Buffer);
    return CR_SUCCESS;
}

}  // extern "C"
