/*
 * The host: plays the loader for the driver image (tavrix.sys) and asks for
 * device actions as a user or the power manager would. Each action reaches
 * the device stack as Plug and Play or power packets (ntos/pnp/pnp.h: a start
 * is IRP_MN_START_DEVICE, a stop its query then the stop, a removal its query
 * then the removal or the cancel, a sleep and a wake system power packets
 * that the framework turns into device ones); the framework's part of each
 * packet (the driver's callbacks in KMDF's order, the queues) is in
 * wdf/pnppower.h.
 * Loading maps a fresh image (dlopen), so the driver's globals start as a
 * kernel image's would; DriverEntry gets a driver object and
 * \Registry\Machine\System\CurrentControlSet\Services\<service>. A driver
 * that a program plays itself (Options::entry) is bound the same way, without
 * an image.
 *
 * Plug and Play and power, per device, as the framework drives its callbacks
 * (KMDF's PnP and power state machines):
 *
 *   added --Start--> started (in D0) --Sleep--> started, out of D0 --Resume--> started (in D0)
 *   started (in D0 or not) --Stop--> stopped --Start--> started
 *   a failed Start --> stack removed (problem code 10) --Start--> added again, then started
 *   a failed Resume --> failed --Start--> started
 *   any --SurpriseRemove--> gone (the object stays until its handles close)
 *
 *   Start   prepare-hardware, then D0 entry, then the power-managed queues
 *           restart. A failed prepare-hardware or D0 entry is followed by
 *           release-hardware (KMDF's FailedOwnHardware state), without D0
 *           exit; then the device fails as below, and the Plug and Play
 *           manager removes its stack (IRP_MN_REMOVE_DEVICE after a failed
 *           IRP_MN_START_DEVICE). A device that ran before (a restart after
 *           a stop, or after a failed power-up) is surprise-removed first,
 *           and the remove waits for its handles as below; they stay with
 *           the old device. The device keeps its index and problem code 10
 *           (Problem); Device() is nullptr. The next Start calls device add
 *           again on the device the ACPI driver enumerates: a new framework
 *           device with a fresh context (a failed add leaves problem code
 *           31), then starts it.
 *   Sleep   the power-managed queues stop (requests in progress finish, new
 *           ones wait), then D0 exit.
 *   Resume  D0 entry, then the queues restart and present the requests that
 *           waited. A failed D0 entry fails the device: release-hardware
 *           runs, the stack stays (problem code 43), and a Start starts the
 *           same device again: its queues take requests again.
 *   Failed  (after a failed Start or Resume; KMDF's Failed state) the device
 *           interfaces are disabled and the power-managed queues purged: a
 *           request waiting there completes with STATUS_CANCELLED, and one
 *           sent later on an open handle fails with STATUS_INVALID_DEVICE_STATE
 *           (a queue that accepts no requests), instead of waiting for a
 *           power-up that will not come.
 *   Stop    (a stop for rebalance) the queues stop and D0 exit runs if the
 *           device is in D0, then release-hardware. The device interface
 *           stays enabled (KMDF disables it only when the device fails or is
 *           removed), so an open during the stop reaches the driver and gets
 *           the driver's own status. Open handles stay open; their requests
 *           wait for the restart. Start prepares the hardware again.
 *   QueryStopThenCancel  (a rebalance that another device vetoes: the Plug
 *           and Play manager queried this device's stop, then calls it off)
 *           the query, then its cancel. A driver without EvtDeviceQueryStop
 *           hears of neither, and the framework stops no queue for the query
 *           (KMDF stops them with the stop itself): requests are served
 *           between the two packets and after, and the device stays started.
 *
 * A call that does not fit the device's state changes nothing and returns
 * STATUS_INVALID_DEVICE_STATE: Start of a started device, Sleep of a device
 * that is not started or already out of D0, Resume of a device that is not
 * asleep, Stop and QueryStopThenCancel of a device that is not started.
 * Remove and SurpriseRemove of a device whose stack a failed start removed
 * only drop the device node.
 *
 * Removal is the orderly one (a query-remove, then remove): while any handle
 * is open on the device (or a request of a closed handle is still in
 * progress), the query is vetoed as the Plug and Play manager vetoes it for
 * outstanding opens: Remove returns STATUS_PLUGPLAY_QUERY_VETOED and the
 * device stays as it was. Otherwise the queues stop and D0 exit runs if the
 * device is in D0, release-hardware runs if its hardware is prepared, the
 * queues are purged, and the device is deleted with its children (a
 * notification work item that is running is waited for, and one still queued
 * runs first, as deleting a KMDF work item does; its _DSM send then fails on
 * the removed target). The device leaves the list; later devices move down
 * one index.
 *
 * SurpriseRemove is the device disappearing from the bus, with or without
 * open handles. The framework's surprise-removal path runs at once: new opens
 * are refused, EvtDeviceSurpriseRemoval (when the driver registered one), then,
 * if the device is in D0, the queues stop and D0 exit runs with
 * WdfPowerDeviceD3Final, then release-hardware, then as Failed: interfaces
 * disabled, power-managed queues purged (waiting requests STATUS_CANCELLED,
 * later ones STATUS_INVALID_DEVICE_STATE). The device leaves the list at
 * once. Its object stays while handles are open: the driver's file cleanup
 * and close run as the clients close them, and once the last one has closed
 * the device is removed and deleted, on a system thread of the host
 * (RemovalsPending, WaitForRemovals).
 *
 * Unload is the system going down with the driver. A device with no handle
 * open is removed as by Remove, without a veto. Windows cannot unload a driver
 * while a handle is open on its device; here Unload still goes ahead, safely:
 * such a device is surprise-removed first (as above), then deleted at once
 * with the image: the driver's file cleanup and close run for each handle
 * still open, and the handles stay in their processes naming a file without a
 * device (a request on one fails with STATUS_DEVICE_DOES_NOT_EXIST; closing it
 * is fine). Surprise-removed devices still waiting for their handles are
 * deleted the same way.
 *
 * Threads: the Plug and Play and power calls may come from any threads at
 * once; those of one device are serialised, so its callbacks never overlap
 * (calls for different devices run in parallel). Load, AddDevice and Unload
 * are not called concurrently with each other, and Unload not while other
 * calls are in progress.
 */
#pragma once
#include <wdf.h>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/verifier.h"

namespace plat {

class Machine;
namespace io {
struct DeviceObject;
}
namespace se {
struct SecurityDescriptor;
}
namespace acpi {
class AcpiDevice;
}
namespace wdf {
struct FxDevice;
}

class Host {
public:
    struct Options {
        std::string service = "tavrix";
        std::string imagePath;  // empty: $TVRX_DRIVER_IMAGE, else the image next to the build
        // The installed driver package, whose hardware section gives the
        // device its security descriptor. Empty: $TVRX_DRIVER_INF, else the
        // source tree's driver/tavrix.inx; "none": no package (the default descriptor).
        std::string infPath;
        // A driver linked into the calling program (a test that plays one):
        // Load calls this DriverEntry instead of mapping an image, and Unload
        // leaves the program's code where it is. Everything else is as for an
        // image: the service key, DriverEntry at PASSIVE_LEVEL, its failure
        // paths, and the verifier's house rules, which then hold the program's
        // own code and the locks it creates. Symbol finds nothing in it.
        PDRIVER_INITIALIZE entry = nullptr;
    };

    explicit Host(Machine& machine);
    Host(Machine& machine, Options options);
    ~Host();  // unloads the driver if it is still loaded
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Maps the image (unless Options::entry names the driver) and calls
    // DriverEntry; on failure the image is unmapped again.
    NTSTATUS Load();
    bool Loaded() const;

    // Adds a device instance (with its ACPI device below) and calls device add.
    // The ACPI device is the one the ACPI driver enumerated with that instance
    // ID (or the hardware ID it starts with); STATUS_NO_SUCH_DEVICE when the
    // firmware has none (another _HID, no _HID, _STA not present).
    // The device's stack then gets the driver package's security descriptor; a
    // package whose Security value is not valid SDDL fails the installation
    // before device add (InfError, with the file, line and column).
    NTSTATUS AddDevice(const std::wstring& instanceId = L"ACPI\\TVRX0001\\0");
    // Adds every device the installed driver package binds, as the Plug and
    // Play manager binds a driver: each device the ACPI driver enumerated and
    // reports working whose hardware IDs (then compatible IDs) a model of the
    // INF names, with this driver's service; in namespace order. The first
    // failure of a device add, else STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE when
    // no device binds. A malformed INF fails the installation (InfError,
    // naming its file and line).
    NTSTATUS AddBoundDevices();
    size_t DeviceCount() const;
    WDFDEVICE Device(size_t index = 0) const;  // nullptr when there is none
    // The ACPI driver's device whose physical device object is the bottom of
    // the device's stack; nullptr while the device has no stack (removed, or
    // after a failed start).
    std::shared_ptr<acpi::AcpiDevice> Below(size_t index = 0) const;

    // Plug and Play and power, per device (see above). An index past the
    // devices is a caller's mistake (std::out_of_range); a device removed by
    // another thread while the call waited gives STATUS_NO_SUCH_DEVICE.
    NTSTATUS Start(size_t index = 0);   // prepare-hardware, D0 entry, queues up
    NTSTATUS Sleep(size_t index = 0);   // queues down, D0 exit (to D3)
    NTSTATUS Resume(size_t index = 0);  // D0 entry, queues up
    NTSTATUS Stop(size_t index = 0);    // queues down and D0 exit if in D0, release-hardware
    // The stop queried and called off (see above): the query's status, the
    // stack's refusal or STATUS_SUCCESS; the device stays started either way.
    NTSTATUS QueryStopThenCancel(size_t index = 0);
    NTSTATUS Remove(size_t index = 0);  // vetoed while handles are open; else stop as needed, then delete
    // The device is gone from the bus: the framework's surprise-removal path
    // now; the device object is deleted once its last handle has closed.
    NTSTATUS SurpriseRemove(size_t index = 0);

    // Surprise-removed devices (also the old stacks of failed restarts) whose
    // object waits for its handles to close, and a wait (up to `limit`) until
    // there are none; false when some remain.
    size_t RemovalsPending() const;
    bool WaitForRemovals(std::chrono::milliseconds limit) const;

    // Whether the device is in D0 now, and whether it is started (in D0 or asleep).
    bool InD0(size_t index = 0) const;
    bool Started(size_t index = 0) const;
    // What Device Manager shows of the device: its instance ID, and whether
    // it is started, added but not started (or stopped), or failed (a start
    // or a power-up failed: CM_PROB_FAILED_START, CM_PROB_FAILED_POST_START).
    enum class Status { NotStarted, Started, Failed };
    std::wstring InstanceId(size_t index = 0) const;
    Status DeviceStatus(size_t index = 0) const;
    // The device node's problem code (pnp::kProblem*): none, CM_PROB_FAILED_START
    // after a failed start, CM_PROB_FAILED_POST_START after a failed power-up,
    // CM_PROB_FAILED_ADD when adding the device again failed.
    ULONG Problem(size_t index = 0) const;
    // The security descriptor of the device's stack in SDDL, as the driver
    // package set it; empty when it has none (the default applies).
    std::string SecuritySddl(size_t index = 0) const;

    // Removes every device (see above), deletes the driver object, unmaps the
    // image, and takes the verifier's report (also kept as verifier::LastUnloadReport()).
    verifier::Report Unload();

    // A routine or variable of the loaded image by name (nullptr when absent,
    // and for a driver the program plays).
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
    NTSTATUS AddStack(const std::wstring& instanceId, const std::shared_ptr<const se::SecurityDescriptor>& security,
                      std::shared_ptr<io::DeviceObject>* physical, wdf::FxDevice** result);
    void RemoveFailedStack(Slot& slot);
    NTSTATUS RemoveSlot(const std::shared_ptr<Slot>& slot, bool veto);
    NTSTATUS StopSlot(const std::shared_ptr<Slot>& slot, bool cancel);
    void UnloadSlot(const std::shared_ptr<Slot>& slot);
    void SurpriseRemoveLocked(Slot& slot);
    void AwaitLastHandle(const std::shared_ptr<Slot>& slot);
    void Unlist(const std::shared_ptr<Slot>& slot);

    Machine& machine_;
    Options options_;
    std::unique_ptr<State> state_;
};

}  // namespace plat
