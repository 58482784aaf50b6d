/* Per-thread IRQL and the IRQL rules the verifier enforces. */
#include "ntos/ke/irql.h"

#include <cstdio>
#include <string>

#include "base/bugcheck.h"

namespace plat::irql {
// Initial-exec: the platform library is loaded with the program, and these are
// read on every call of every service.
__attribute__((tls_model("initial-exec"))) thread_local KIRQL t_irql = PASSIVE_LEVEL;
__attribute__((tls_model("initial-exec"))) thread_local int t_spinLocksHeld = 0;
__attribute__((tls_model("initial-exec"))) thread_local int t_houseLocksHeld = 0;
}  // namespace plat::irql

using plat::irql::t_houseLocksHeld;
using plat::irql::t_irql;
using plat::irql::t_spinLocksHeld;

namespace plat {

namespace irql {

void Violation(KIRQL max, const char* routine)
{
    VerifierViolation("IRQL", std::string(routine) + " called at IRQL " + std::to_string(t_irql) +
                                  ", above its maximum " + std::to_string(max));
}

void SpinLockViolation(const char* routine)
{
    VerifierViolation("work under a spin lock", std::string(routine) +
                                                    " called while the driver's spin lock is held (allocation, "
                                                    "free or dereference)");
}

}  // namespace irql

// Windows lets a driver nest spin locks (in a consistent order) and use
// nonpaged pool at DISPATCH_LEVEL; what this driver promises of its own lock
// is a house rule, so only a lock its image created is held to it.
void NoteSpinLockAcquired(bool houseLock)
{
    if (t_houseLocksHeld > 0 || (houseLock && t_spinLocksHeld > 0)) {
        VerifierViolation("spin lock order", houseLock ? "the driver's spin lock was acquired while another is held"
                                                       : "a spin lock was acquired while the driver's is held");
    }
    ++t_spinLocksHeld;
    t_houseLocksHeld += houseLock ? 1 : 0;
}

void NoteSpinLockReleased(bool houseLock)
{
    --t_spinLocksHeld;
    t_houseLocksHeld -= houseLock ? 1 : 0;
}

void RequireReturnedAt(KIRQL irql, const char* callback)
{
    if (t_irql != irql || t_spinLocksHeld > 0) {
        VerifierViolation("callback returned at another IRQL",
                          std::string(callback) + " returned at IRQL " + std::to_string(t_irql) +
                              (t_spinLocksHeld > 0 ? " holding a spin lock" : "") + ", called at " +
                              std::to_string(irql));
    }
}

IrqlScope::IrqlScope(KIRQL level) { KeRaiseIrql(level, &old_); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

}  // namespace plat

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return t_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < t_irql) {
        plat::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                   " below the current IRQL " + std::to_string(t_irql));
    }
    *OldIrql = t_irql;
    t_irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > t_irql) {
        plat::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to " + std::to_string(NewIrql) +
                                                   " above the current IRQL " + std::to_string(t_irql));
    }
    t_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID VfPagedCodeAtRaisedIrql(PCSTR Routine, KIRQL Irql)
{
    plat::VerifierViolation("pageable code at raised IRQL",
                            std::string(Routine) + " is pageable and ran at IRQL " + std::to_string(Irql));
}

}  // extern "C"
