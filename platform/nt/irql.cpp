/* Per-thread IRQL and the IRQL rules the verifier enforces. */
#include "nt/irql.h"

#include <cstdio>
#include <string>

#include "nt/bugcheck.h"

namespace {
// Initial-exec: the platform library is loaded with the program, and these are
// read on every call of every service.
__attribute__((tls_model("initial-exec"))) thread_local KIRQL g_irql = PASSIVE_LEVEL;
__attribute__((tls_model("initial-exec"))) thread_local int g_spinLocksHeld = 0;
}

namespace plat {

KIRQL CurrentIrql() { return g_irql; }

void RequireIrql(KIRQL max, const char* routine)
{
    if (g_irql > max) {
        VerifierViolation("IRQL", std::string(routine) + " called at IRQL " + std::to_string(g_irql) +
                                      ", above its maximum " + std::to_string(max));
    }
}

int SpinLocksHeld() { return g_spinLocksHeld; }

void NoteSpinLockAcquired()
{
    if (g_spinLocksHeld > 0) {
        VerifierViolation("spin lock order", "a spin lock was acquired while another is held");
    }
    ++g_spinLocksHeld;
}

void NoteSpinLockReleased() { --g_spinLocksHeld; }

void RequireNoSpinLock(const char* routine)
{
    if (g_spinLocksHeld > 0) {
        VerifierViolation("work under a spin lock",
                          std::string(routine) + " called while a spin lock is held (allocation, free or dereference)");
    }
}

void RequireReturnedAt(KIRQL irql, const char* callback)
{
    if (g_irql != irql || g_spinLocksHeld > 0) {
        VerifierViolation("IRQL", std::string(callback) + " returned at IRQL " + std::to_string(g_irql) +
                                      (g_spinLocksHeld > 0 ? " holding a spin lock" : "") + ", called at " +
                                      std::to_string(irql));
    }
}

IrqlScope::IrqlScope(KIRQL level) { KeRaiseIrql(level, &old_); }
IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

}  // namespace plat

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return g_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < g_irql) {
        plat::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                   " below the current IRQL " + std::to_string(g_irql));
    }
    *OldIrql = g_irql;
    g_irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > g_irql) {
        plat::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to " + std::to_string(NewIrql) +
                                                   " above the current IRQL " + std::to_string(g_irql));
    }
    g_irql = NewIrql;
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
