/*
 * tvrx-sim check: a report on a firmware for the engineers who write it. It
 * loads the firmware, starts the driver on it, changes the device mode, and
 * judges each part by what the driver did: the traces it wrote while it
 * started and what it holds, read through the debug view. The firmware's
 * answers are asked again only to describe them. One line per check
 * (PASSED, FAILED or WARNING), what was seen, and what the driver did because
 * of it, then a summary.
 */
#pragma once

#include <ostream>

#include "session.h"

namespace sim {

constexpr int kCheckPassed = 0;       // nothing failed (warnings may have been given)
constexpr int kCheckFailed = 1;       // at least one check failed
constexpr int kCheckCannotLoad = 2;   // the firmware (or a memory file) cannot be loaded

// Runs the checks on options.firmwareFile with options.memory placed, and
// prints the report on out (text, or one JSON document with options.json);
// why the firmware cannot be loaded goes to err. Returns one of the above.
int RunCheck(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace sim
