/* Bugcheck: the stop screen of the simulated machine. */
#include "base/bugcheck.h"

#include <cstdio>
#include <cstdlib>

#include "base/status.h"
#include "base/verifier.h"

namespace plat {

const char* BugCheckName(ULONG code)
{
    switch (code) {
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case SPIN_LOCK_ALREADY_OWNED: return "SPIN_LOCK_ALREADY_OWNED";
    case REFERENCE_BY_POINTER: return "REFERENCE_BY_POINTER";
    case KMODE_EXCEPTION_NOT_HANDLED: return "KMODE_EXCEPTION_NOT_HANDLED";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    case DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case DRIVER_CORRUPTED_EXPOOL: return "DRIVER_CORRUPTED_EXPOOL";
    case DRIVER_IRQL_NOT_LESS_OR_EQUAL: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case WORKER_THREAD_RETURNED_AT_BAD_IRQL: return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case WDF_VIOLATION: return "WDF_VIOLATION";
    case KERNEL_SECURITY_CHECK_FAILURE: return "KERNEL_SECURITY_CHECK_FAILURE";
    default: return "BUGCHECK";
    }
}

void BugCheck(ULONG code, const std::string& reason, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    std::fprintf(stderr,
                 "\n*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n*** %s\n*** %s\n", code,
                 (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3, (unsigned long long)p4,
                 BugCheckName(code), reason.c_str());
    std::fflush(stderr);
    std::abort();
}

void VerifierViolation(const std::string& rule, const std::string& detail)
{
    const verifier::Rule& found = verifier::RuleNamed(rule);
    ULONG code = DRIVER_VERIFIER_DETECTED_VIOLATION;
    if (found.source == verifier::Source::KmdfVerifier) {
        code = WDF_VIOLATION;
    } else if (found.source == verifier::Source::Kernel && rule == "spin lock already owned") {
        code = SPIN_LOCK_ALREADY_OWNED;
    }
    BugCheck(code, "verifier: " + rule + " [" + verifier::SourceText(found) + "]: " + detail);
}

void WdfViolation(const std::string& rule, const std::string& detail) { VerifierViolation(rule, detail); }

}  // namespace plat

extern "C" {

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    plat::BugCheck(BugCheckCode, "KeBugCheckEx called by the driver", P1, P2, P3, P4);
}

VOID RtlFailFast(ULONG Code)
{
    const char* what = Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? "corrupted LIST_ENTRY (a neighbour does not point back)"
                                                            : "fast fail";
    plat::BugCheck(KERNEL_SECURITY_CHECK_FAILURE, std::string("fast fail: ") + what, Code);
}

}  // extern "C"
