/* The guided tour of tvrx-sim. */
#pragma once
#include <ostream>
#include "session.h"

namespace sim {
// Tells the driver's story on a fresh machine; returns 0 when every step behaved as told.
int RunDemo(Options options, std::ostream& out);
}
