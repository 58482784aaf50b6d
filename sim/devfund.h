/*
 * tvrx-sim devfund: the attacks and sequences a certification lab runs on a
 * driver before it ships (fuzzed opens, device controls and file calls, Plug
 * and Play and sleep with I/O around them, clients that die mid-request, all
 * of it at once), each on a machine of its own with the driver started and
 * the verifier on; each ends with the driver unloaded and the verifier's
 * report. A test passes when every status a client saw is the one the
 * driver's documentation (docs/ioctl.md) or Windows gives for the call, and
 * the verifier is clean.
 */
#pragma once
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace sim::devfund {

struct Options {
    std::vector<std::string> tests;  // empty: all, in the lab's order
    std::optional<uint64_t> seed;    // none: a random one, printed
    std::optional<double> minutes;   // machine minutes of the concurrent test (the others get a share)
    bool json = false;               // one JSON object per test
};

// The tests' names, in the order they run.
std::vector<std::string> TestNames();

// Runs the tests: exit 0 when all passed, 1 when one failed, 2 on a usage error.
int Run(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace sim::devfund
