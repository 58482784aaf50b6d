/*
 * The host: plays the loader and the Plug and Play and power manager for the
 * driver image (tavrix.sys); the framework's own part of each step (the
 * driver's callbacks in KMDF's order, the queues) is in wdf/pnppower.h. Loading maps a fresh image (dlopen), so the
 * driver's globals start as a kernel image's would; DriverEntry gets a driver
 * object and \Registry\Machine\System\CurrentControlSet\Services\<service>.
 *
 * Plug and Play and power, per device, as the framework drives its callbacks:
 *
 *   added --Start--> started (in D0) --Sleep--> started, out of D0 --Resume--> started (in D0)
 *   started (in D0 or not) --Stop--> stopped --Start--> started
 *
 *   Start   prepare-hardware, then D0 entry, then the power-managed queues
 *           restart. A failed prepare-hardware ends there (no release-hardware);
 *           a failed D0 entry is followed by release-hardware. Either way the
 *           device is "start failed" and may be started again.
 *   Sleep   the power-managed queues stop (requests in progress finish, new
 *           ones wait), then D0 exit.
 *   Resume  D0 entry, then the queues restart and present the requests that
 *           waited. A failed D0 entry fails the device as the framework does
 *           for a failed power-up: release-hardware runs, its interface is
 *           withdrawn, and waiting requests keep waiting until the device is
 *           started again or removed.
 *   Stop    (a stop for rebalance) the queues stop and D0 exit runs if the
 *           device is in D0, then release-hardware. Open handles stay open;
 *           their requests wait for the restart. Start prepares the hardware
 *           again.
 *
 * A call that does not fit the device's state changes nothing and returns
 * STATUS_INVALID_DEVICE_STATE: Start of a started device, Sleep of a device
 * that is not started or already out of D0, Resume of a device that is not
 * asleep, Stop of a device that is not started.
 *
 * Removal is the orderly one (a query-remove, then remove): while any handle
 * is open on the device (or a request of a closed handle is still in
 * progress), the query is vetoed as the Plug and Play manager vetoes it for
 * outstanding opens: Remove returns STATUS_PLUGPLAY_QUERY_VETOED and the
 * device stays as it was. Otherwise the queues stop and D0 exit runs if the
 * device is in D0, release-hardware runs if its hardware is prepared, the
 * queues are purged, and the device is deleted with its children (a
 * notification work item that is running is waited for; one still queued is
 * dropped with the device). The device leaves the list; later devices move
 * down one index.
 *
 * Unload removes every device first, without a veto: it is the system going
 * down. A device that still has open handles is removed as at shutdown: its
 * requests that wait are cancelled (STATUS_CANCELLED), the driver's file
 * cleanup and close callbacks run for each open handle, and the handles stay
 * in their processes naming a file without a device (a request on one fails
 * with STATUS_DEVICE_DOES_NOT_EXIST; closing it is fine).
 *
 * Threads: the Plug and Play and power calls may come from any threads at
 * once; those of one device are serialised, so its callbacks never overlap
 * (calls for different devices run in parallel). Load, AddDevice and Unload
 * are not called concurrently with each other, and Unload not while other
 * calls are in progress.
 */
#pragma once
#include <wdf.h>
#include <memory>
#include <string>
#include <vector>

#include "base/verifier.h"

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

    // Plug and Play and power, per device (see above). An index past the
    // devices is a caller's mistake (std::out_of_range); a device removed by
    // another thread while the call waited gives STATUS_NO_SUCH_DEVICE.
    NTSTATUS Start(size_t index = 0);   // prepare-hardware, D0 entry, queues up
    NTSTATUS Sleep(size_t index = 0);   // queues down, D0 exit (to D3)
    NTSTATUS Resume(size_t index = 0);  // D0 entry, queues up
    NTSTATUS Stop(size_t index = 0);    // queues down and D0 exit if in D0, release-hardware
    NTSTATUS Remove(size_t index = 0);  // vetoed while handles are open; else stop as needed, then delete

    // Whether the device is in D0 now, and whether it is started (in D0 or asleep).
    bool InD0(size_t index = 0) const;
    bool Started(size_t index = 0) const;

    // Removes every device (see above), deletes the driver object, unmaps the
    // image, and takes the verifier's report (also kept as verifier::LastUnloadReport()).
    verifier::Report Unload();

    // A routine or variable of the loaded image by name (nullptr when absent).
    void* Symbol(const char* name) const;
    template <class F>
    F Routine(const char* name) const
    {
        return reinterpret_cast<F>(Symbol(name));
    }

private:
    struct Slot;
    struct State;
    std::shared_ptr<Slot> SlotAt(size_t index) const;
    NTSTATUS RemoveSlot(const std::shared_ptr<Slot>& slot, bool veto);

    Machine& machine_;
    Options options_;
    std::unique_ptr<State> state_;
};

}  // namespace plat
