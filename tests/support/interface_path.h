/*
 * How a user-mode client finds the device: the first path the configuration
 * manager lists for the device interface class. Shared by the tests, the
 * benchmarks and the fuzzers; it needs no test framework.
 *
 * Include this before anything else that brings in tvrxioctl.h: it makes this
 * unit define the interface GUID.
 */
#pragma once

#include <initguid.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tvrxioctl.h"

namespace tvrx::test {

// The first path of the device interface class, as a client finds it ("" when
// no device exposes it).
inline std::wstring TavrixInterfacePath()
{
    GUID guid = GUID_DEVINTERFACE_TAVRIX;
    ULONG length = 0;
    if (CM_Get_Device_Interface_List_SizeW(&length, &guid, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
            CR_SUCCESS ||
        length < 2) {
        return {};
    }
    std::vector<WCHAR> list(length);
    if (CM_Get_Device_Interface_ListW(&guid, nullptr, list.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
        CR_SUCCESS) {
        return {};
    }
    return std::wstring(list.data());
}

}  // namespace tvrx::test
