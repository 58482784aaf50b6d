/*
 * The simulated machine: its folder (registry.reg, the C: drive as C/, ...),
 * clock, registry hive, physical memory, firmware and processes. One machine
 * is current at a time; kernel services find their state through it.
 */
#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include "machine/clock.h"

namespace plat {

class Registry;
class PhysicalMemory;
class Firmware;
class ProcessTable;

class Machine {
public:
    struct Options {
        // Machine folder kept between runs; empty: a fresh temporary folder removed with the machine.
        std::filesystem::path folder;
        // Machine seconds per real second (tests run time-outs faster).
        double clockRate = 1.0;
        // Platform capabilities that the driver looks up at run time.
        bool classicEtwProvider = true;
        bool rtlQueryRegistryValuesEx = true;
    };

    Machine();
    explicit Machine(Options options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();          // stops the system when there is none
    static Machine* CurrentOrNull();

    const Options& options() const { return options_; }
    Options& options() { return options_; }
    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path DriveRoot() const { return folder_ / "C"; }

    plat::Clock& Clock() { return clock_; }
    plat::Registry& Registry() { return *registry_; }
    plat::PhysicalMemory& Memory() { return *memory_; }
    plat::ProcessTable& Processes() { return *processes_; }

    // The firmware behind the ACPI driver; the native model unless another is set.
    plat::Firmware& Firmware() { return *firmware_; }
    void SetFirmware(std::shared_ptr<plat::Firmware> firmware);

private:
    Options options_;
    std::filesystem::path folder_;
    bool ownsFolder_ = false;
    plat::Clock clock_;
    std::unique_ptr<plat::Registry> registry_;
    std::unique_ptr<plat::PhysicalMemory> memory_;
    std::unique_ptr<plat::ProcessTable> processes_;
    std::shared_ptr<plat::Firmware> firmware_;
    Machine* previous_ = nullptr;
};

}  // namespace plat
