/*
 * The ACPI driver's device below one function device: it evaluates methods
 * for IOCTL_ACPI_EVAL_METHOD, exports the standard interface v2, and calls
 * the registered device-notification handler for each Notify the firmware
 * raises on the device.
 *
 * Threads: an evaluation the firmware answers without waiting completes in
 * the sender's call; any other runs on a thread of its own, so a sender's
 * time-out can cancel its request while the firmware is still evaluating;
 * notifications are delivered in order on the device's firmware thread at
 * DISPATCH_LEVEL.
 *
 * Whether the Windows ACPI driver cancels an evaluation in progress is not
 * documented. Here it is a machine setting (SetCancelHonoured), off by
 * default: the evaluation runs to its end whatever its sender's time-out
 * says, and only then completes the packet.
 */
#pragma once
#include <wdm.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acpi/eval.h"
#include "ntos/io/irp.h"

namespace plat::acpi {

struct InterfacePort;

class AcpiDevice : public std::enable_shared_from_this<AcpiDevice> {
public:
    // name: the instance ID; path: the firmware Device whose methods it evaluates.
    AcpiDevice(std::string name, std::string path, InterfacePort* port);
    ~AcpiDevice();
    AcpiDevice(const AcpiDevice&) = delete;
    AcpiDevice& operator=(const AcpiDevice&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& Path() const { return path_; }

    // The physical device object the function device sits on: the ACPI
    // driver's dispatch routines answer the packets sent to it.
    io::DeviceObject* DeviceObject() { return &deviceObject_; }

    // IRP_MJ_DEVICE_CONTROL from the device above. Completes the packet before
    // it returns (a rejected request, or an evaluation the firmware answers
    // without waiting) or later from an evaluation thread. A
    // pending evaluation's cancel routine (IoCancelIrp) completes it with
    // STATUS_CANCELLED at once, leaving the evaluation to run out unheard, when
    // the machine honours cancellation; otherwise it leaves the packet to the
    // evaluation, which completes it with its own result when it ends.
    NTSTATUS DeviceControl(io::Irp* irp);

    // IRP_MN_QUERY_INTERFACE: the standard interface v2, with one reference taken for the caller.
    NTSTATUS QueryInterface(const GUID& type, PINTERFACE record, USHORT size, USHORT version);

    // The interface's Register/UnregisterForDeviceNotifications. One handler at a
    // time: a second registration fails with STATUS_INVALID_DEVICE_REQUEST.
    // No call starts after unregistering; whether it waits for a call in
    // progress is the machine's setting (SetUnregisterWaits).
    NTSTATUS RegisterHandler(PDEVICE_NOTIFY_CALLBACK2 handler, PVOID context);
    void UnregisterHandler();
    bool HandlerRegistered() const;

    // A Notify from the firmware: queued for the firmware thread, never blocks.
    void QueueNotification(ULONG value);
    // Waits until every queued notification was delivered or dropped.
    bool WaitNotificationsIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    uint64_t NotificationsDelivered() const;
    uint64_t NotificationsDropped() const;  // raised while no handler was registered

    // References held on this device's interface.
    long InterfaceReferences() const;

    // The input records of the last evaluation requests received (at most
    // kKeptRequests), oldest first: what callers really sent, byte for byte.
    static constexpr size_t kKeptRequests = 64;
    std::vector<std::vector<uint8_t>> EvalRequests() const;

private:
    void NotificationLoop();
    NTSTATUS Evaluate(io::Irp* irp, Firmware& firmware, EvalInput input);

    const std::string name_;
    const std::string path_;
    io::DeviceObject deviceObject_;
    InterfacePort* const port_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    PDEVICE_NOTIFY_CALLBACK2 handler_ = nullptr;
    PVOID handlerContext_ = nullptr;
    std::deque<ULONG> queue_;
    std::deque<std::vector<uint8_t>> requests_;
    bool inCall_ = false;
    bool stopping_ = false;
    uint64_t delivered_ = 0;
    uint64_t dropped_ = 0;
    std::thread firmwareThread_;
};

// The physical device object of an enumerated device (enumerate.h), below a
// new function device (the Host keeps it in FxDevice::pdo): it evaluates that
// device's methods, and a Notify the firmware raises on that device reaches it
// (Notify on any other device does not). instanceId picks the device as
// acpi::FindDevice does (the instance ID, else the hardware ID it starts
// with) from the installed firmware's enumeration now; nullptr when no
// enumerated device matches (no firmware, a device not present, another _HID).
std::shared_ptr<AcpiDevice> CreateDevice(const std::string& instanceId);
// The same for a device the caller enumerated; name defaults to its instance ID.
struct EnumeratedDevice;
std::shared_ptr<AcpiDevice> CreateDevice(const EnumeratedDevice& device, std::string name = std::string());

// The machine's firmware, whose tables the ACPI driver evaluates; its Notify
// reaches the live ACPI devices. Null until the machine installs one.
void InstallFirmware(std::shared_ptr<Firmware> firmware);
std::shared_ptr<Firmware> InstalledFirmware();

// The ACPI device whose physical device object this is; nullptr for a device of another driver.
std::shared_ptr<AcpiDevice> DeviceBelow(const std::shared_ptr<io::DeviceObject>& lower);

// Routes the installed firmware's Notify to the live ACPI devices again (a
// firmware model may have dropped its sink since the device was made).
void ConnectFirmware();

// Whether the ACPI driver completes a cancelled evaluation at once (true) or
// lets it run to its end (false, the default). A machine setting
// (Machine::Options::acpiHonoursCancel); it applies to the cancellations that follow.
void SetCancelHonoured(bool honoured);
bool CancelHonoured();

// Whether UnregisterForDeviceNotifications waits for a handler call in
// progress (true) or returns at once, the call left to finish on its own
// (false, the default). A machine setting (Machine::Options::acpiUnregisterWaits).
void SetUnregisterWaits(bool waits);
// Unregistrations that returned while a handler call was in progress, since start.
uint64_t UnregistersNotWaiting();
// Cancellations of pending evaluations left to run to their end because
// cancellation is not honoured (a sender's time-out expired), since start.
uint64_t CancelsDeclined();

// Evaluation threads still running (a firmware that hangs), and a wait until
// none is; finished threads are joined.
size_t RunningEvaluations();
bool WaitForEvaluations(std::chrono::milliseconds timeout);

}  // namespace plat::acpi
