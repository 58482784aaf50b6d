/*
 * Events, mutants and KeWaitForSingleObject over a wait table keyed by the
 * object's address. The header fields are read and written atomically: a
 * state read (KeReadStateEvent) takes no lock; every change that can release
 * a waiter is made under the object's wait-table bucket.
 */
#include "ntos/ke/event.h"

#include <condition_variable>
#include <mutex>
#include <string>

#include "base/bugcheck.h"
#include "machine/hardware.h"
#include "ntos/ex/slab.h"
#include "ntos/ke/irql.h"

namespace plat::ke {
namespace {

struct alignas(64) Bucket {
    std::mutex lock;
    std::condition_variable wake;
};

constexpr size_t kBuckets = 64;
Bucket g_buckets[kBuckets];

Bucket& BucketOf(const void* object)
{
    auto key = reinterpret_cast<uintptr_t>(object) >> 4;
    return g_buckets[(key * 0x9E3779B97F4A7C15ull) >> 58];
}

LONG Load(const LONG& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
void Store(LONG& field, LONG value) { __atomic_store_n(&field, value, __ATOMIC_RELEASE); }

uint64_t ThreadId()
{
    static std::atomic<uint64_t> next{1};
    thread_local uint64_t id = next.fetch_add(1);
    return id;
}

uint64_t LoadOwner(const KMUTANT* mutant) { return __atomic_load_n(&mutant->Owner, __ATOMIC_ACQUIRE); }
void StoreOwner(KMUTANT* mutant, uint64_t owner) { __atomic_store_n(&mutant->Owner, owner, __ATOMIC_RELEASE); }

// Under the bucket's lock: takes the object for the calling thread if it is signalled.
bool TryTake(DISPATCHER_HEADER* header)
{
    switch (Load(header->Type)) {
    case kNotificationEvent:
        return Load(header->SignalState) != 0;
    case kSynchronizationEvent:
        if (Load(header->SignalState) == 0) {
            return false;
        }
        Store(header->SignalState, 0);
        return true;
    case kMutant: {
        auto* mutant = reinterpret_cast<KMUTANT*>(header);
        if (Load(header->SignalState) <= 0 && LoadOwner(mutant) != ThreadId()) {
            return false;
        }
        Store(header->SignalState, Load(header->SignalState) - 1);
        StoreOwner(mutant, ThreadId());
        return true;
    }
    default:
        VerifierViolation("wait on a non-dispatcher object",
                          "the object's header has type " + std::to_string(Load(header->Type)));
    }
}

// Waits for any of several objects, which may lie in different buckets,
// park on one condition of their own; every signal moves its epoch on.
std::mutex g_anyLock;
std::condition_variable g_anyWake;
uint64_t g_anyEpoch = 0;
std::atomic<int> g_anyWaiters{0};

void WakeAnyWaiters()
{
    if (g_anyWaiters.load(std::memory_order_acquire) > 0) {
        std::lock_guard<std::mutex> guard(g_anyLock);
        g_anyEpoch++;
        g_anyWake.notify_all();
    }
}

// Sets the signal state under the bucket's lock and wakes the waiters; returns the previous state.
// The waiters are woken after the bucket's lock is let go, so that they do
// not wake only to wait for it (the buckets live as long as the process).
LONG Signal(DISPATCHER_HEADER* header, LONG state)
{
    Bucket& bucket = BucketOf(header);
    LONG previous;
    bool waiters;
    {
        std::lock_guard<std::mutex> guard(bucket.lock);
        previous = Load(header->SignalState);
        Store(header->SignalState, state);
        waiters = state > 0 && Load(header->Waiters) > 0;
    }
    if (waiters) {
        bucket.wake.notify_all();
    }
    if (state > 0) {
        WakeAnyWaiters();
    }
    return previous;
}

PKEVENT CheckedEvent(PRKEVENT event, const char* routine)
{
    if (event == nullptr) {
        VerifierViolation("NULL dispatcher object", std::string(routine) + " was given a NULL event");
    }
    LONG type = Load(event->Header.Type);
    if (type != kNotificationEvent && type != kSynchronizationEvent) {
        VerifierViolation("event not initialised", std::string(routine) + " was given an object of type " +
                                                       std::to_string(type) + ", not an initialised KEVENT");
    }
    return event;
}

}  // namespace

void InitializeMutant(KMUTANT* mutant, bool initialOwner)
{
    Store(mutant->Header.Type, kMutant);
    Store(mutant->Header.SignalState, initialOwner ? 0 : 1);
    Store(mutant->Header.Waiters, 0);
    StoreOwner(mutant, initialOwner ? ThreadId() : 0);
}

NTSTATUS ReleaseMutant(KMUTANT* mutant, LONG* previousCount)
{
    Bucket& bucket = BucketOf(mutant);
    std::lock_guard<std::mutex> guard(bucket.lock);
    if (LoadOwner(mutant) != ThreadId()) {
        return STATUS_MUTANT_NOT_OWNED;
    }
    LONG previous = Load(mutant->Header.SignalState);
    Store(mutant->Header.SignalState, previous + 1);
    if (previous + 1 > 0) {
        StoreOwner(mutant, 0);
        if (Load(mutant->Header.Waiters) > 0) {
            bucket.wake.notify_all();
        }
        WakeAnyWaiters();
    }
    if (previousCount != nullptr) {
        *previousCount = previous;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Wait(PVOID object, const LARGE_INTEGER* timeout)
{
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    Bucket& bucket = BucketOf(header);
    std::unique_lock<std::mutex> lock(bucket.lock);
    if (TryTake(header)) {
        return STATUS_SUCCESS;
    }
    LONGLONG interval = 0;
    if (timeout != nullptr) {
        interval = timeout->QuadPart < 0 ? -timeout->QuadPart
                                         : timeout->QuadPart - Hardware::Current().Clock().Now();
        if (interval <= 0) {
            return STATUS_TIMEOUT;
        }
    }
    Store(header->Waiters, Load(header->Waiters) + 1);
    bool taken = true;
    if (timeout == nullptr) {
        bucket.wake.wait(lock, [header] { return TryTake(header); });
    } else {
        taken = Hardware::Current().Clock().WaitFor(lock, bucket.wake, interval, [header] { return TryTake(header); });
    }
    Store(header->Waiters, Load(header->Waiters) - 1);
    return taken ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS WaitAny(PVOID* objects, ULONG count, const LARGE_INTEGER* timeout, ULONG* index)
{
    Clock& clock = Hardware::Current().Clock();
    LONGLONG deadline = 0;
    if (timeout != nullptr) {
        deadline = timeout->QuadPart < 0 ? clock.Now() - timeout->QuadPart : timeout->QuadPart;
    }
    // Each object counts the waiter, as a wait on it alone does.
    auto countWaiter = [&](LONG change) {
        for (ULONG i = 0; i < count; i++) {
            auto* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
            std::lock_guard<std::mutex> guard(BucketOf(header).lock);
            Store(header->Waiters, Load(header->Waiters) + change);
        }
    };
    g_anyWaiters.fetch_add(1, std::memory_order_acq_rel);
    countWaiter(1);
    NTSTATUS status = STATUS_TIMEOUT;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> guard(g_anyLock);
            seen = g_anyEpoch;
        }
        // The first signalled object in the caller's order is the one taken.
        bool taken = false;
        for (ULONG i = 0; i < count && !taken; i++) {
            auto* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
            std::lock_guard<std::mutex> guard(BucketOf(header).lock);
            if (TryTake(header)) {
                *index = i;
                taken = true;
            }
        }
        if (taken) {
            status = STATUS_SUCCESS;
            break;
        }
        std::unique_lock<std::mutex> lock(g_anyLock);
        auto moved = [&] { return g_anyEpoch != seen; };
        if (timeout == nullptr) {
            g_anyWake.wait(lock, moved);
        } else if (LONGLONG left = deadline - clock.Now(); left <= 0 || !clock.WaitFor(lock, g_anyWake, left, moved)) {
            break;
        }
    }
    countWaiter(-1);
    g_anyWaiters.fetch_sub(1, std::memory_order_acq_rel);
    return status;
}

namespace {
pool::Slab g_eventSlab(sizeof(EventObject), alignof(EventObject));
}  // namespace

void* EventObject::operator new(size_t size, std::align_val_t alignment)
{
    return pool::NewFromSlab(g_eventSlab, size, alignment);
}

void EventObject::operator delete(void* p, size_t size, std::align_val_t alignment)
{
    pool::DeleteToSlab(g_eventSlab, p, size, alignment);
}

EventObject::EventObject(EVENT_TYPE type, bool signaled) : ob::Object(ob::EventType())
{
    InstallBody(event_);
    KeInitializeEvent(Event(), type, signaled ? TRUE : FALSE);
}

MutantObject::MutantObject(bool initialOwner) : ob::Object(ob::MutantType())
{
    InstallBody(mutant_);
    InitializeMutant(Mutant(), initialOwner);
}

}  // namespace plat::ke

using namespace plat::ke;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Store(Event->Header.Type, Type == SynchronizationEvent ? kSynchronizationEvent : kNotificationEvent);
    Store(Event->Header.SignalState, State ? 1 : 0);
    Store(Event->Header.Waiters, 0);
    Store(Event->Header.Reserved, 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    // With Wait TRUE the caller goes on to wait, which is not allowed at DISPATCH_LEVEL.
    plat::RequireIrql(Wait ? APC_LEVEL : DISPATCH_LEVEL, __func__);
    return Signal(&CheckedEvent(Event, __func__)->Header, 1);
}

LONG KeResetEvent(PRKEVENT Event)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return Signal(&CheckedEvent(Event, __func__)->Header, 0);
}

VOID KeClearEvent(PRKEVENT Event)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    Store(CheckedEvent(Event, __func__)->Header.SignalState, 0);
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return Load(CheckedEvent(Event, __func__)->Header.SignalState);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    // Only a poll (a zero time-out) may run at DISPATCH_LEVEL; a real wait needs APC_LEVEL or below.
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    plat::RequireIrql(poll ? DISPATCH_LEVEL : APC_LEVEL, __func__);
    if (!poll) {
        plat::RequireNoSpinLock(__func__);
    }
    if (Object == nullptr) {
        plat::VerifierViolation("NULL dispatcher object", "KeWaitForSingleObject was given a NULL object");
    }
    return plat::ke::Wait(Object, Timeout);
}

}  // extern "C"
