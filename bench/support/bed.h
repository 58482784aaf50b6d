/*
 * What every benchmark stands on: a machine with the driver loaded and its
 * device started, and client processes that open the device. Nothing here
 * touches fault injection (asking it for counts would put a lock on every
 * hot path of the platform), and every bed unloads the driver at the end and
 * says on stderr if the verifier found anything left behind.
 */
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "debugview.h"
#include "harness.h"
#include "tvrxioctl.h"
#include "um/client.h"

namespace tvrx::bench {

// Whether this is a smoke run (TVRX_BENCH_SMOKE set): fixed workloads shrink
// so that every benchmark finishes in moments.
bool SmokeRun();

class Bed {
public:
    explicit Bed(std::shared_ptr<plat::Firmware> firmware = nullptr);
    ~Bed();  // unloads the driver; a verifier finding goes to stderr
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    // Loads the driver, adds the device and starts it; false (with a reason
    // on stderr) when any step fails.
    bool Boot();
    // Unloads the driver; false when the verifier found something left behind (printed on stderr).
    bool Unload();

    plat::Machine& Machine() { return rig_.Machine(); }
    plat::Host& Host() { return rig_.Host(); }
    // The driver's state of the device, as the debug view reads it.
    debugview::Device View() { return debugview::ReadDevice(rig_.Host().Device(0)); }
    // The device's interface path as a client finds it ("" when there is none).
    std::wstring Path() const { return harness::DevicePath(); }

private:
    static harness::Options WithFirmware(std::shared_ptr<plat::Firmware> firmware);

    harness::Rig rig_;
};

// One client process. Its calls run on the calling thread as that process;
// a thread that makes many calls can instead take the process for a whole
// scope (plat::ProcessScope on Native()).
class Client {
public:
    explicit Client(const std::string& name) : process(name) {}

    // Opens a handle on the device; nullptr on failure.
    HANDLE Open(const std::wstring& path);
    // An auto-reset event, not set.
    HANDLE NewEvent();
    NTSTATUS Register(HANDLE device, HANDLE event);

    plat::um::Process process;
};

// Resident memory of this process in KiB.
long ResidentKib();

}  // namespace tvrx::bench
