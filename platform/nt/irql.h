/* Per-thread IRQL: every thread starts at PASSIVE_LEVEL; spin locks raise it. */
#pragma once
#include <wdm.h>

namespace plat {

KIRQL CurrentIrql();

// Stops the system (verifier report naming the routine) when the current IRQL is above Max.
void RequireIrql(KIRQL max, const char* routine);
inline void RequirePassive(const char* routine) { RequireIrql(PASSIVE_LEVEL, routine); }

// Spin locks the current thread holds. The verifier allows only one at a time, and
// no pool allocation or free and no object dereference while one is held.
int SpinLocksHeld();
void NoteSpinLockAcquired();
void NoteSpinLockReleased();
void RequireNoSpinLock(const char* routine);

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
