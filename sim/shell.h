/* The interactive shell of tvrx-sim. */
#pragma once
#include "session.h"

namespace sim {
// Reads commands with line editing and history until end of input or `quit`; returns the exit status.
int RunShell(Options options);
}
