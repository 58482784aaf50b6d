/*
 * Bugcheck: prints the code, its four parameters and a readable reason (the
 * rule broken and the routine), then aborts the process. Tests that must see a
 * bugcheck run as death tests and match the printed reason.
 */
#pragma once
#include <wdm.h>
#include <string>

namespace plat {

[[noreturn]] void BugCheck(ULONG code, const std::string& reason, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);

// A rule of the verifier's catalogue (base/verifier.h) broken: the stop
// names the rule, its kind and source, and the details. A KMDF verifier rule
// stops with WDF_VIOLATION, a kernel one with its own bugcheck, the others
// with DRIVER_VERIFIER_DETECTED_VIOLATION.
[[noreturn]] void VerifierViolation(const std::string& rule, const std::string& detail);

// The same, for the framework's rules (deleted handle used, wrong handle type, ...).
[[noreturn]] void WdfViolation(const std::string& rule, const std::string& detail);

const char* BugCheckName(ULONG code);

}  // namespace plat
