/*
 * One booted bed for all the benchmarks of a program that need nothing
 * special of the machine: created by the first that asks (from any thread),
 * unloaded by main after the last has run.
 */
#pragma once
#include "support/bed.h"

namespace tvrx::bench {

// The shared bed, booted; nullptr when it would not boot.
Bed* SharedBed();
// Unloads it; false when it had failed to boot or the verifier found leftovers.
bool ReleaseSharedBed();

}  // namespace tvrx::bench
