/* Finding device interfaces: the configuration manager's interface lists. */
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "wdf/device.h"

namespace {

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
           });
}

// The user-mode paths (\\?\...) of the class's interfaces, each with its terminator, then the final one.
std::wstring InterfaceList(const GUID& classGuid, DEVINSTID_W deviceId)
{
    std::wstring list;
    for (const plat::wdf::InterfaceEntry& entry : plat::wdf::EnumerateInterfaces(classGuid)) {
        if (deviceId != nullptr && !EqualNoCase(entry.device->instanceId, deviceId)) {
            continue;
        }
        list += L"\\\\?\\" + entry.symbolicLink.substr(4);
        list += L'\0';
    }
    list += L'\0';
    return list;
}

}  // namespace

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
