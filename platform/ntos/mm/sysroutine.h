/*
 * Routines that MmGetSystemRoutineAddress finds by name. Each subsystem
 * registers the ones it exports; a routine may be present only on some
 * machines (a machine option decides).
 */
#pragma once
#include <functional>

namespace plat {

// Registers a routine; `available` (when given) decides per machine whether it is exported.
void RegisterSystemRoutine(const char* name, void* address, std::function<bool()> available = nullptr);

// Registers a routine at static initialisation.
struct SystemRoutine {
    SystemRoutine(const char* name, void* address, std::function<bool()> available = nullptr)
    {
        RegisterSystemRoutine(name, address, std::move(available));
    }
};

}  // namespace plat
