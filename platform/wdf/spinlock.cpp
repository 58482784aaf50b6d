/*
 * Framework spin locks: acquiring raises the thread to DISPATCH_LEVEL and
 * spins. The verifier stops the system on a recursive acquire or a release
 * by another thread. A lock that the driver image this project builds created
 * is its own lock, held to the driver's house rules (never with another spin
 * lock, no pool or dereference under it); locks of other code are not.
 */
#include <atomic>
#include <thread>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/irql.h"
#include "wdf/object.h"

namespace plat::wdf {

struct FxSpinLock : FxObject {
    using FxObject::FxObject;
    std::atomic<bool> locked{false};
    std::atomic<std::thread::id> owner{};
    KIRQL oldIrql = PASSIVE_LEVEL;
    bool house = false;  // created by the driver's own code
};

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    ValidateAttributes(SpinLockAttributes, __func__);
    *SpinLock = nullptr;
    NTSTATUS status = plat::fault::Check("WdfSpinLockCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* lock = new FxSpinLock(FxType::SpinLock, ParentFromAttributes(SpinLockAttributes, __func__),
                                SpinLockAttributes);
    lock->house = plat::verifier::IsHouseCode(__builtin_return_address(0));
    status = Register(lock, SpinLockAttributes);
    if (!NT_SUCCESS(status)) {
        delete lock;
        return status;
    }
    *SpinLock = static_cast<WDFSPINLOCK>(lock->handle);
    return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    auto* lock = ResolveAs<FxSpinLock>(SpinLock, FxType::SpinLock, __func__);
    if (lock->owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        plat::VerifierViolation("spin lock already owned", "WdfSpinLockAcquire of a spin lock this thread already holds");
    }
    plat::NoteSpinLockAcquired(lock->house);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (unsigned spins = 0; lock->locked.exchange(true, std::memory_order_acquire); ++spins) {
        // The host may preempt the holder (a real processor at DISPATCH_LEVEL would not), so yield.
        if (spins > 64) {
            std::this_thread::yield();
        }
    }
    lock->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    lock->oldIrql = old;
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    auto* lock = ResolveAs<FxSpinLock>(SpinLock, FxType::SpinLock, __func__);
    if (lock->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
        plat::VerifierViolation("spin lock release", "WdfSpinLockRelease of a spin lock this thread does not hold");
    }
    KIRQL old = lock->oldIrql;
    lock->owner.store(std::thread::id(), std::memory_order_relaxed);
    lock->locked.store(false, std::memory_order_release);
    plat::NoteSpinLockReleased(lock->house);
    KeLowerIrql(old);
}

}  // extern "C"
