/*
 * Dispatcher objects: events and mutants, and waiting on them. A waiter parks
 * on a wait table keyed by the object's address, so a KEVENT in the driver's
 * own memory needs no allocation. Time-outs run on the machine's clock.
 */
#pragma once
#include <wdm.h>
#include <new>

#include "ntos/ob/object.h"

#ifndef STATUS_MUTANT_NOT_OWNED
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#endif

namespace plat::ke {

// DISPATCHER_HEADER.Type of the objects one can wait on.
enum DispatcherType : LONG {
    kNotificationEvent = NotificationEvent,
    kSynchronizationEvent = SynchronizationEvent,
    kMutant = 2,
};

// A mutant: SignalState is 1 when free and goes down with each acquisition by its owner.
struct KMUTANT {
    DISPATCHER_HEADER Header;
    uint64_t Owner;  // the owning thread's id, 0 when free
};

void InitializeMutant(KMUTANT* mutant, bool initialOwner);
// STATUS_MUTANT_NOT_OWNED when the calling thread does not own it.
NTSTATUS ReleaseMutant(KMUTANT* mutant, LONG* previousCount);

// Waits until the object is signalled (taking it, for a synchronization event
// or a mutant). timeout: nullptr waits forever; negative is relative, positive
// absolute machine time, in 100-ns units. STATUS_SUCCESS or STATUS_TIMEOUT.
// No IRQL rule is checked here (KeWaitForSingleObject checks them).
NTSTATUS Wait(PVOID object, const LARGE_INTEGER* timeout);
// Waits until any of the objects is signalled and takes the first signalled
// one in their order (*index); the same time-out and results as Wait.
NTSTATUS WaitAny(PVOID* objects, ULONG count, const LARGE_INTEGER* timeout, ULONG* index);

// An event of the object manager (CreateEventW); its body is the KEVENT.
struct EventObject : ob::Object {
    EventObject(EVENT_TYPE type, bool signaled);
    PKEVENT Event() { return &event_.value; }

    // Events come from a slab of their own, as the object manager takes
    // bodies from pool: events made one after another lie next to each other.
    static void* operator new(size_t size, std::align_val_t alignment);
    static void operator delete(void* p, size_t size, std::align_val_t alignment);

private:
    ob::Embedded<KEVENT> event_{};
};

// A mutant of the object manager (CreateMutexW); its body is the KMUTANT.
struct MutantObject : ob::Object {
    explicit MutantObject(bool initialOwner);
    KMUTANT* Mutant() { return &mutant_.value; }

private:
    ob::Embedded<KMUTANT> mutant_{};
};

}  // namespace plat::ke
