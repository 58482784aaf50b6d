/*
 * How a test's client finds the device: the harness's lookup (the first path
 * the configuration manager lists for the device interface class).
 *
 * Include this before anything else that brings in tvrxioctl.h: it makes this
 * unit define the interface GUID, which tests name themselves.
 */
#pragma once

#include <initguid.h>

#include <windows.h>

#include <string>

#include "harness.h"
#include "tvrxioctl.h"

namespace tvrx::test {

// The first path of the device interface class, as a client finds it ("" when
// no device exposes it): the lookup the simulator's clients make too.
inline std::wstring TavrixInterfacePath() { return harness::DevicePath(); }

}  // namespace tvrx::test
