/*
 * What the fuzzers that drive a loaded driver stand on: a machine in a folder
 * of its own with the driver loaded and its device started.
 */
#pragma once

#include <memory>

#include "system/host.h"
#include "system/machine.h"

namespace tvrx::fuzz {

struct StartedMachine {
    // Aborts, naming the fuzzer, when the driver does not load, add or start.
    explicit StartedMachine(const char* fuzzer);

    std::unique_ptr<plat::Machine> machine;
    std::unique_ptr<plat::Host> host;
};

}  // namespace tvrx::fuzz
