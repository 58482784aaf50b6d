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

#include "tvrxioctl.h"
#include "um/client.h"

namespace tvrx::test {

// The first path of the device interface class, as a client finds it ("" when
// no device exposes it): the lookup the simulator's clients make too.
inline std::wstring TavrixInterfacePath() { return plat::um::FirstDeviceInterface(GUID_DEVINTERFACE_TAVRIX); }

}  // namespace tvrx::test
