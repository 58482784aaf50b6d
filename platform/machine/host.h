/*
 * The host: plays the loader and the Plug and Play and power manager for the
 * driver image (tavrix.sys). Loading maps a fresh image (dlopen), so the
 * driver's globals start as a kernel image's would; DriverEntry gets a driver
 * object and \Registry\Machine\System\CurrentControlSet\Services\<service>.
 * Plug and Play and power callbacks of one device never overlap.
 */
#pragma once
#include <wdf.h>
#include <memory>
#include <string>
#include <vector>

#include "machine/verifier.h"

namespace plat {

class Machine;

class Host {
public:
    struct Options {
        std::string service = "tavrix";
        std::string imagePath;  // empty: $TVRX_DRIVER_IMAGE, else the image next to the build
    };

    explicit Host(Machine& machine);
    Host(Machine& machine, Options options);
    ~Host();  // unloads the driver if it is still loaded
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Maps the image and calls DriverEntry; on failure the image is unmapped again.
    NTSTATUS Load();
    bool Loaded() const;

    // Adds a device instance (with its ACPI device below) and calls device add.
    NTSTATUS AddDevice(const std::wstring& instanceId = L"ACPI\\TVRX0001\\0");
    size_t DeviceCount() const;
    WDFDEVICE Device(size_t index = 0) const;  // nullptr when there is none

    // Plug and Play and power, per device.
    NTSTATUS Start(size_t index = 0);   // prepare-hardware, then D0 entry
    NTSTATUS Sleep(size_t index = 0);   // D0 exit (to D3)
    NTSTATUS Resume(size_t index = 0);  // D0 entry
    NTSTATUS Stop(size_t index = 0);    // D0 exit, release-hardware
    NTSTATUS Remove(size_t index = 0);  // D0 exit and release-hardware if started, then delete

    // Removes every device, deletes the driver object, unmaps the image, and
    // takes the verifier's report (also kept as verifier::LastUnloadReport()).
    verifier::Report Unload();

    // A routine or variable of the loaded image by name (nullptr when absent).
    void* Symbol(const char* name) const;
    template <class F>
    F Routine(const char* name) const
    {
        return reinterpret_cast<F>(Symbol(name));
    }

private:
    struct State;
    Machine& machine_;
    Options options_;
    std::unique_ptr<State> state_;
};

}  // namespace plat
