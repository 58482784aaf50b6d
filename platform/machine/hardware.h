/*
 * The machine below the operating system: its folder (registry.reg, the C:
 * drive as C/, ...), clock, registry hive and physical memory. One is current
 * at a time; kernel services find their state through it. The firmware and
 * the kernel's own state belong to the layers above (system/machine.h
 * assembles a whole machine).
 */
#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include "machine/clock.h"

namespace plat {

class Registry;
class PhysicalMemory;

class Hardware {
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

    explicit Hardware(Options options);
    ~Hardware();
    Hardware(const Hardware&) = delete;
    Hardware& operator=(const Hardware&) = delete;

    static Hardware& Current();          // stops the system when there is none
    static Hardware* CurrentOrNull();

    const Options& options() const { return options_; }
    Options& options() { return options_; }
    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path DriveRoot() const { return folder_ / "C"; }

    plat::Clock& Clock() { return clock_; }
    plat::Registry& Registry() { return *registry_; }
    plat::PhysicalMemory& Memory() { return *memory_; }

private:
    Options options_;
    std::filesystem::path folder_;
    bool ownsFolder_ = false;
    plat::Clock clock_;
    std::unique_ptr<plat::Registry> registry_;
    std::unique_ptr<plat::PhysicalMemory> memory_;
    Hardware* previous_ = nullptr;
};

}  // namespace plat
