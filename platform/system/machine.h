/*
 * A whole simulated machine, assembled from its layers: the hardware and its
 * folder (clock, physical memory, registry hive, C: drive), the firmware
 * behind the ACPI driver, and the kernel's process table. One machine is
 * current at a time; kernel services find their state through it. Programs
 * and tests that run the driver get one, with a Host (system/host.h) on it,
 * from the harness; the platform's own tests may make one alone.
 */
#pragma once
#include <filesystem>
#include <memory>

#include "machine/hardware.h"

namespace plat {

class Firmware;
class ProcessTable;

class Machine {
public:
    struct Options : plat::Hardware::Options {
        // Whether the ACPI driver completes a cancelled evaluation at once
        // (STATUS_CANCELLED) or lets it run to its end and then completes it
        // with its result. Windows does not document which; the default is the
        // one that protects the driver least: a synchronous send whose time-out
        // expires still waits for the evaluation to end.
        bool acpiHonoursCancel = false;
        // Whether the ACPI driver's UnregisterForDeviceNotifications waits for
        // a handler call in progress. Windows documents no such promise; the
        // default is the strict one: unregister returns while a handler that
        // was already called may still run.
        bool acpiUnregisterWaits = false;
    };

    Machine();
    explicit Machine(Options options);
    ~Machine();  // ends the firmware first, then every process, then the hardware
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();  // stops the system when there is none
    static Machine* CurrentOrNull();

    const plat::Hardware::Options& options() const { return hardware_->options(); }
    plat::Hardware::Options& options() { return hardware_->options(); }
    bool AcpiHonoursCancel() const { return acpiHonoursCancel_; }
    const std::filesystem::path& Folder() const { return hardware_->Folder(); }
    std::filesystem::path DriveRoot() const { return hardware_->DriveRoot(); }

    plat::Hardware& Hardware() { return *hardware_; }
    plat::Clock& Clock() { return hardware_->Clock(); }
    plat::Registry& Registry() { return hardware_->Registry(); }
    plat::PhysicalMemory& Memory() { return hardware_->Memory(); }
    plat::ProcessTable& Processes() { return *processes_; }

    // The firmware behind the ACPI driver; the native model unless another is set.
    plat::Firmware& Firmware() { return *firmware_; }
    void SetFirmware(std::shared_ptr<plat::Firmware> firmware);

private:
    std::unique_ptr<plat::Hardware> hardware_;
    std::unique_ptr<plat::ProcessTable> processes_;
    std::shared_ptr<plat::Firmware> firmware_;
    Machine* previous_ = nullptr;
    bool acpiHonoursCancel_ = false;
    bool acpiUnregisterWaits_ = false;
};

}  // namespace plat
