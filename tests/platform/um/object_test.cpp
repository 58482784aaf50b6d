// The object manager's handle rules and references, and kernel events.
#include <gtest/gtest.h>

#include <ntddk.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "base/fault.h"
#include "base/verifier.h"
#include "ntos/ke/event.h"
#include "ntos/ke/irql.h"
#include "ntos/ob/object.h"
#include "ntos/ps/process.h"
#include "support/kernel.h"
#include "um/client.h"

namespace {

using namespace std::chrono_literals;

constexpr ACCESS_MASK kSetAndWait = SYNCHRONIZE | EVENT_MODIFY_STATE;

// An object that counts its destruction.
struct Probe : plat::ob::Object {
    explicit Probe(std::atomic<int>* destroyed) : Object(plat::ob::KeyType()), destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }
    std::atomic<int>* destroyed_;
};

class ObjectManager : public tvrx::test::KernelBed {
protected:
    void SetUp() override
    {
        tvrx::test::KernelBed::SetUp();
        alice = std::make_unique<plat::um::Process>("alice");
        bob = std::make_unique<plat::um::Process>("bob");
    }

    void TearDown() override
    {
        alice.reset();
        bob.reset();
        tvrx::test::KernelBed::TearDown();
    }

    // ObReferenceObjectByHandle as the driver calls it, in the process's context.
    NTSTATUS Reference(plat::um::Process& process, HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                       KPROCESSOR_MODE mode, PVOID* object)
    {
        return process.Run([&] { return ObReferenceObjectByHandle(handle, access, type, mode, object, nullptr); });
    }

    std::unique_ptr<plat::um::Process> alice;
    std::unique_ptr<plat::um::Process> bob;
};

TEST_F(ObjectManager, ReferenceByHandleEnforcesProcessTypeAndAccess)
{
    HANDLE full = alice->Run([] { return CreateEventW(nullptr, FALSE, FALSE, L"ready"); });
    HANDLE waitOnly = alice->Run([] { return OpenEventW(SYNCHRONIZE, FALSE, L"ready"); });
    HANDLE generic = alice->Run([] { return OpenEventW(GENERIC_ALL, FALSE, L"ready"); });
    HANDLE mutex = alice->Run([] { return CreateMutexW(nullptr, FALSE, nullptr); });
    ASSERT_TRUE(full && waitOnly && generic && mutex);

    PVOID object = nullptr;
    ASSERT_EQ(Reference(*alice, full, kSetAndWait, *ExEventObjectType, UserMode, &object), STATUS_SUCCESS);
    EXPECT_EQ(KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE), 0);
    ObDereferenceObject(object);
    EXPECT_EQ(Reference(*alice, generic, kSetAndWait, *ExEventObjectType, UserMode, &object), STATUS_SUCCESS);
    ObDereferenceObject(object);

    EXPECT_EQ(Reference(*alice, waitOnly, kSetAndWait, *ExEventObjectType, UserMode, &object), STATUS_ACCESS_DENIED);
    EXPECT_EQ(object, nullptr);
    // Kernel mode does not check access.
    EXPECT_EQ(Reference(*alice, waitOnly, kSetAndWait, *ExEventObjectType, KernelMode, &object), STATUS_SUCCESS);
    ObDereferenceObject(object);

    EXPECT_EQ(Reference(*alice, mutex, kSetAndWait, *ExEventObjectType, UserMode, &object),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Reference(*alice, nullptr, kSetAndWait, *ExEventObjectType, UserMode, &object), STATUS_INVALID_HANDLE);
    // A handle value means nothing in another process.
    for (HANDLE handle : {full, waitOnly, generic, mutex}) {
        EXPECT_EQ(Reference(*bob, handle, 0, nullptr, UserMode, &object), STATUS_INVALID_HANDLE);
    }

    alice->Run([&] {
        for (HANDLE handle : {full, waitOnly, generic, mutex}) {
            EXPECT_TRUE(CloseHandle(handle));
        }
    });
    // A closed handle stays invalid: its slot is not handed out again at once.
    HANDLE next = alice->Run([] { return CreateEventW(nullptr, FALSE, FALSE, nullptr); });
    EXPECT_NE(next, full);
    EXPECT_EQ(Reference(*alice, full, 0, nullptr, UserMode, &object), STATUS_INVALID_HANDLE);
    alice->Run([&] { CloseHandle(next); });
}

TEST_F(ObjectManager, KernelHandlesResolveOnlyFromKernelMode)
{
    auto* event = new plat::ke::EventObject(NotificationEvent, false);
    HANDLE kernel = plat::ob::InsertHandle(event, EVENT_ALL_ACCESS, true);
    plat::ob::Dereference(event);
    EXPECT_TRUE(plat::ob::IsKernelHandle(kernel));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(kernel) % 4, 0u);

    PVOID object = nullptr;
    EXPECT_EQ(Reference(*alice, kernel, SYNCHRONIZE, *ExEventObjectType, UserMode, &object), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(alice->Run([&] { return CloseHandle(kernel); }));
    ASSERT_EQ(Reference(*alice, kernel, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object), STATUS_SUCCESS);
    ObDereferenceObject(object);

    // Left open, it is a verifier finding.
    plat::verifier::Report report = plat::verifier::Check();
    EXPECT_NE(report.Text().find("kernel handle not closed"), std::string::npos) << report.Text();
    EXPECT_EQ(plat::ob::CloseHandle(kernel, KernelMode), STATUS_SUCCESS);
}

TEST_F(ObjectManager, DriverReferenceOutlivesTheClientsHandleAndIsReportedWhileHeld)
{
    HANDLE handle = alice->Run([] { return CreateEventW(nullptr, TRUE, FALSE, L"kept"); });
    PVOID object = nullptr;
    ASSERT_EQ(Reference(*alice, handle, kSetAndWait, *ExEventObjectType, UserMode, &object), STATUS_SUCCESS);
    alice->Run([&] { EXPECT_TRUE(CloseHandle(handle)); });

    KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 1);
    plat::verifier::Report report = plat::verifier::Check();
    EXPECT_NE(report.Text().find("object reference not released: Event"), std::string::npos) << report.Text();
    // The name lives as long as the object.
    EXPECT_NE(alice->Run([] { return OpenEventW(SYNCHRONIZE, FALSE, L"kept"); }), nullptr);

    alice->Exit();
    ObDereferenceObject(object);
    EXPECT_EQ(bob->Run([] { return OpenEventW(SYNCHRONIZE, FALSE, L"kept"); }), nullptr);
}

TEST_F(ObjectManager, ConcurrentLookupsAndCloseDestroyTheObjectExactlyOnce)
{
    std::atomic<int> destroyed{0};
    auto* probe = new Probe(&destroyed);
    HANDLE handle = alice->Run([&] { return plat::ob::InsertHandle(probe, KEY_READ, false); });
    plat::ob::Dereference(probe);

    // More lookups than a handle caches, from several threads, racing with the close.
    std::atomic<int> found{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.push_back(alice->Thread([&] {
            for (int i = 0; i < 20000; ++i) {
                plat::ob::Object* object = nullptr;
                if (plat::ob::ReferenceByHandle(handle, KEY_READ, plat::ob::KeyType(), UserMode, &object, nullptr) ==
                    STATUS_SUCCESS) {
                    ++found;
                    plat::ob::Dereference(object);
                }
            }
        }));
    }
    while (found.load() < 30000) {
        std::this_thread::yield();
    }
    EXPECT_EQ(alice->Run([&] { return plat::ob::CloseHandle(handle, UserMode); }), STATUS_SUCCESS);
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(ObjectManager, ProcessExitClosesItsHandlesAndFaultsReachTheDriversCall)
{
    std::atomic<int> destroyed{0};
    auto* probe = new Probe(&destroyed);
    HANDLE handle = bob->Run([&] { return plat::ob::InsertHandle(probe, KEY_READ, false); });
    plat::ob::Dereference(probe);

    plat::fault::FailNth("ObReferenceObjectByHandle", 1, STATUS_INSUFFICIENT_RESOURCES);
    PVOID object = nullptr;
    EXPECT_EQ(Reference(*bob, handle, 0, nullptr, UserMode, &object), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(destroyed.load(), 0);
    bob->Exit();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(ObjectManager, ReleasingAReferenceNotHeldStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HANDLE handle = alice->Run([] { return CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    PVOID object = nullptr;
    ASSERT_EQ(Reference(*alice, handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &object), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_DEATH(ObDereferenceObject(object), "REFERENCE_BY_POINTER");
    alice->Run([&] { CloseHandle(handle); });
}

class KernelEvents : public ObjectManager {};

// Waiters wait without a time-out, and the test sets the event only once
// both are waiting (the event's header counts them), so a loaded machine
// cannot make a waiter come late or time out.
LONG WaitersOf(const KEVENT& event) { return __atomic_load_n(&event.Header.Waiters, __ATOMIC_ACQUIRE); }

TEST_F(KernelEvents, NotificationReleasesEveryWaiterSynchronizationJustOne)
{
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i) {
            waiters.emplace_back([&] {
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) {
                    ++woken;
                }
            });
        }
        while (WaitersOf(event) < 2) {
            std::this_thread::yield();
        }
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        if (type == SynchronizationEvent) {
            // One waiter takes the event and resets it; the other still waits.
            while (woken.load() < 1) {
                std::this_thread::yield();
            }
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            EXPECT_EQ(WaitersOf(event), 1);
            EXPECT_EQ(woken.load(), 1);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);  // lets it go
        }
        for (std::thread& waiter : waiters) {
            waiter.join();
        }
        EXPECT_EQ(woken.load(), 2);
        EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
    }
}

TEST_F(KernelEvents, WaitTimesOutOnTheMachineClockAndPollsAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 10 * 1000 * 1000;  // 10 s of machine time
    // Measured on the machine's clock: a loaded machine may take longer in real time, never less.
    LONGLONG start = machine->Clock().Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(machine->Clock().Now() - start, -timeout.QuadPart);

    plat::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KernelEvents, WaitingAtDispatchLevelStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    plat::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, TRUE), "KeSetEvent called at IRQL 2");
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1;
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), "KeWaitForSingleObject");
}

}  // namespace
