/*
 * What the fuzzers that drive a loaded driver stand on: the harness's machine
 * in a folder of its own with the driver loaded and its device started.
 */
#pragma once

#include "harness.h"

namespace tvrx::fuzz {

struct StartedMachine : harness::Rig {
    // Aborts, naming the fuzzer, when the driver does not load, add or start.
    explicit StartedMachine(const char* fuzzer);
};

}  // namespace tvrx::fuzz
