// The Win32-shaped API of client processes: named events and mutexes, waits, errors.
#include <windows.h>

#include "support/kernel.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "um/client.h"

namespace tvrx::test {
namespace {

using namespace std::chrono_literals;

class ClientApi : public KernelBed {
protected:
    void SetUp() override
    {
        KernelBed::SetUp();
        a = std::make_unique<plat::um::Process>("a");
        b = std::make_unique<plat::um::Process>("b");
    }

    void TearDown() override
    {
        a.reset();
        b.reset();
        KernelBed::TearDown();
    }

    std::unique_ptr<plat::um::Process> a;
    std::unique_ptr<plat::um::Process> b;
};

TEST_F(ClientApi, NamedEventsAreSharedAcrossProcessesWithTheAccessAskedFor)
{
    HANDLE mine = a->Run([] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, L"Global\\mode");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        return event;
    });
    ASSERT_NE(mine, nullptr);
    b->Run([&] {
        HANDLE again = CreateEventW(nullptr, TRUE, TRUE, L"mode");  // opens the existing one, as it was made
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, L"mode");
        HANDLE setOnly = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"mode");
        ASSERT_TRUE(again && waitOnly && setOnly);

        EXPECT_FALSE(SetEvent(waitOnly));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(WaitForSingleObject(setOnly, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_FAILED);  // a's handle value means nothing here
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

        EXPECT_TRUE(SetEvent(setOnly));
        EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // auto-reset: taken once

        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"lock");
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"lock"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"none"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        for (HANDLE handle : {again, waitOnly, setOnly, mutex}) {
            EXPECT_TRUE(CloseHandle(handle));
        }
    });
    a->Run([&] { EXPECT_TRUE(CloseHandle(mine)); });
    // The name went with the last handle.
    EXPECT_EQ(b->Run([] { return OpenEventW(SYNCHRONIZE, FALSE, L"mode"); }), nullptr);
}

TEST_F(ClientApi, WaitsCountMachineTimeAndManualEventsStaySet)
{
    a->Run([this] {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        // 5 s of machine time (50 ms real), measured on the machine's clock: a
        // loaded machine may take longer in real time, never less.
        LONGLONG start = machine->Clock().Now();
        EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_GE(machine->Clock().Now() - start, 5000LL * 10000);

        // The setter sets the event once the wait below has begun (the kernel
        // event counts its waiters), so the wait is really woken by it.
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        auto* kernelEvent = static_cast<PKEVENT>(object);
        std::thread setter = a->Thread([event, kernelEvent] {
            while (__atomic_load_n(&kernelEvent->Header.Waiters, __ATOMIC_ACQUIRE) == 0) {
                std::this_thread::yield();
            }
            SetEvent(event);
        });
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        setter.join();
        ObDereferenceObject(object);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_TRUE(CloseHandle(event));
    });
}

// WaitForMultipleObjects (wait for any): the first signalled handle in the
// array's order is the one taken (Microsoft: "the array index of the
// signaled object with the smallest index value"), a set during the wait
// wakes it, and the time-out counts machine time.
TEST_F(ClientApi, WaitForAnyTakesTheFirstSignalledObject)
{
    a->Run([this] {
        HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
        SetEvent(events[1]);
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(WaitForSingleObject(events[1], 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the wait took the signal";
        SetEvent(events[0]);
        SetEvent(events[1]);
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0) << "the second stays set";

        LONGLONG start = machine->Clock().Now();
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 2000), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_GE(machine->Clock().Now() - start, 2000LL * 10000);

        // The second is set once the wait has begun (it counts its waiter).
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(events[1], SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        auto* second = static_cast<PKEVENT>(object);
        std::thread setter = a->Thread([&] {
            while (__atomic_load_n(&second->Header.Waiters, __ATOMIC_ACQUIRE) == 0) {
                std::this_thread::yield();
            }
            SetEvent(events[1]);
        });
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
        setter.join();
        ObDereferenceObject(object);

        // Waiting for all is not offered; a handle that is not one fails the wait.
        EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        HANDLE bad[2] = {events[0], reinterpret_cast<HANDLE>(0x7FF0)};
        EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
        CloseHandle(events[0]);
        CloseHandle(events[1]);
    });
}

TEST_F(ClientApi, MutexBelongsToTheThreadThatHoldsIt)
{
    a->Run([this] {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // owners may take it again
        std::thread other = a->Thread([mutex] {
            EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
            EXPECT_FALSE(ReleaseMutex(mutex));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        });
        other.join();
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_FALSE(ReleaseMutex(mutex));
        std::thread after = a->Thread([mutex] {
            EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
            EXPECT_TRUE(ReleaseMutex(mutex));
        });
        after.join();
        EXPECT_TRUE(CloseHandle(mutex));
    });
}

TEST_F(ClientApi, StatusesBecomeTheErrorsWin32Reports)
{
    const std::pair<NTSTATUS, DWORD> table[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_ACPI_INVALID_DATA, ERROR_MR_MID_NOT_FOUND},
    };
    for (const auto& [status, error] : table) {
        EXPECT_EQ(RtlNtStatusToDosError(status), error) << std::hex << status;
    }
}

}  // namespace
}  // namespace tvrx::test
