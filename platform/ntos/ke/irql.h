/* Per-thread IRQL: every thread starts at PASSIVE_LEVEL; spin locks raise it. */
#pragma once
#include <wdm.h>

namespace plat {

namespace irql {
// The calling thread's IRQL and spin locks held, read inline by the checks
// below on every service call (the library is loaded with the program, so
// they sit in the static TLS block).
extern __attribute__((tls_model("initial-exec"))) thread_local KIRQL t_irql;
extern __attribute__((tls_model("initial-exec"))) thread_local int t_spinLocksHeld;
// Of those, the locks of the driver this project builds (its house rules apply to them).
extern __attribute__((tls_model("initial-exec"))) thread_local int t_houseLocksHeld;
// The verifier's reports, out of line.
void Violation(KIRQL max, const char* routine);
void SpinLockViolation(const char* routine);
}  // namespace irql

inline KIRQL CurrentIrql() { return irql::t_irql; }

// Stops the system (verifier report naming the routine) when the current IRQL is above Max.
inline void RequireIrql(KIRQL max, const char* routine)
{
    if (__builtin_expect(irql::t_irql > max, 0)) {
        irql::Violation(max, routine);
    }
}
inline void RequirePassive(const char* routine) { RequireIrql(PASSIVE_LEVEL, routine); }

// Spin locks the current thread holds. Windows allows nested spin locks and
// nonpaged pool at DISPATCH_LEVEL; the driver's house rules hold its own lock
// (houseLock: one its image created) to more: it is never held with another
// spin lock, and no pool allocation or free and no object dereference happens
// while it is held.
inline int SpinLocksHeld() { return irql::t_spinLocksHeld; }
void NoteSpinLockAcquired(bool houseLock);
void NoteSpinLockReleased(bool houseLock);
// Pool and dereference calls: stops the system while the driver's lock is held.
inline void RequireNoSpinLock(const char* routine)
{
    if (__builtin_expect(irql::t_houseLocksHeld > 0, 0)) {
        irql::SpinLockViolation(routine);
    }
}

// Stops the system when a driver callback comes back at another IRQL than it
// was called at, or still holding a spin lock.
void RequireReturnedAt(KIRQL irql, const char* callback);

// Runs a scope at a raised IRQL (the ACPI notification thread runs its handler at DISPATCH_LEVEL).
class IrqlScope {
public:
    explicit IrqlScope(KIRQL level);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL old_;
};

}  // namespace plat
