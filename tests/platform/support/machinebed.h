/* A whole machine per test, for the system layer's tests. */
#pragma once

#include "support/bed.h"
#include "system/machine.h"

namespace tvrx::test {

using MachineBed = Bed<plat::Machine>;

}  // namespace tvrx::test
