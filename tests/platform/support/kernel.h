/* The kernel's part of a machine, for the tests of ntos and the layers on it. */
#pragma once

#include <filesystem>

#include "machine/hardware.h"
#include "ntos/ps/process.h"
#include "support/bed.h"

namespace tvrx::test {

// The hardware with the kernel's process table on it: what the kernel's
// services find their state in, without firmware or any driver above.
class Kernel {
public:
    using Options = plat::Hardware::Options;

    Kernel() : Kernel(Options{}) {}
    explicit Kernel(Options options) : hardware_(std::move(options)) {}

    plat::Hardware& Hardware() { return hardware_; }
    Options& options() { return hardware_.options(); }
    plat::Clock& Clock() { return hardware_.Clock(); }
    plat::Registry& Registry() { return hardware_.Registry(); }
    plat::PhysicalMemory& Memory() { return hardware_.Memory(); }
    const std::filesystem::path& Folder() const { return hardware_.Folder(); }
    std::filesystem::path DriveRoot() const { return hardware_.DriveRoot(); }
    plat::ProcessTable& Processes() { return processes_; }

private:
    plat::Hardware hardware_;
    plat::ProcessTable processes_;  // ends before the hardware, as on a machine
};

using KernelBed = Bed<Kernel>;

}  // namespace tvrx::test
