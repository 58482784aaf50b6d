// The I/O manager's system services at their edges: the requests of a
// process that is ending, and the create options NtCreateFile refuses.
#include <windows.h>

#include "support/minidriver.h"
#include "support/machinebed.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "um/client.h"
#include "wdf/queue.h"

namespace tvrx::test {
namespace {

constexpr ULONG kQuery = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A flag one thread raises and others wait for, with a bound in machine time
// (a wait that runs out is a hang the test reports, not a measurement).
class Flag {
public:
    void Raise()
    {
        std::lock_guard<std::mutex> guard(lock_);
        raised_ = true;
        wake_.notify_all();
    }
    bool WaitFor(const plat::Clock& clock, LONGLONG interval)
    {
        std::unique_lock<std::mutex> lock(lock_);
        return clock.WaitFor(lock, wake_, interval, [this] { return raised_; });
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait(lock, [this] { return raised_; });
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool raised_ = false;
};

class IoManager : public MachineBed {
protected:
    void TearDown() override
    {
        client.reset();
        driver.reset();
        MachineBed::TearDown();
    }

    void Start()
    {
        driver = std::make_unique<MiniDriver>();
        client = std::make_unique<plat::um::Process>("client");
    }

    // NtCreateFile of the device from the client, with the access and options as given.
    NTSTATUS Open(ACCESS_MASK access, ULONG options, HANDLE* handle)
    {
        return client->Run([&] { return plat::um::OpenDevice(driver->Path(), access, handle, options); });
    }

    std::unique_ptr<MiniDriver> driver;
    std::unique_ptr<plat::um::Process> client;
};

// Process exit cancels the requests of every thread of the process; a thread
// of the ending process that sends another afterwards (here from the cancel
// path of the first, while the queue still holds requests) is refused with
// STATUS_PROCESS_IS_TERMINATING: on Windows the threads of a terminating
// process are being ended and send nothing new (PspTerminateProcess ends each
// thread, and each thread's exit cancels its requests, IoCancelThreadIo).
// Were the new request held, the exit would wait for it for ever.
TEST_F(IoManager, AnEndingProcessSendsNoNewRequests)
{
    Start();
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(GENERIC_READ | GENERIC_WRITE, 0, &handle), STATUS_SUCCESS);
    plat::wdf::QueuePowerDown(driver->Fx());  // the queue holds what arrives, as out of D0

    std::atomic<bool> first{true};
    std::atomic<BOOL> lateSent{TRUE};
    std::atomic<DWORD> lateError{ERROR_SUCCESS};
    Flag lateReturned, lateMayEnd;
    std::thread late;
    OVERLAPPED lateOverlapped{};
    UCHAR lateOutput[4] = {};
    driver->requestCleanup = [&](WDFREQUEST) {
        if (!first.exchange(false)) {
            return;
        }
        // The exit's cancellation pass is under way: another thread of the process sends now.
        late = client->Thread([&] {
            DWORD bytes = 0;
            lateSent = DeviceIoControl(handle, kQuery, nullptr, 0, lateOutput, sizeof lateOutput, &bytes,
                                       &lateOverlapped);
            lateError = GetLastError();
            lateReturned.Raise();
            lateMayEnd.Wait();  // the thread lives on while the exit runs
        });
        lateReturned.Wait();
    };

    OVERLAPPED overlapped{};
    UCHAR output[4] = {};
    ASSERT_TRUE(client->Run([&] {
        DWORD bytes = 0;
        return !DeviceIoControl(handle, kQuery, nullptr, 0, output, sizeof output, &bytes, &overlapped) &&
               GetLastError() == ERROR_IO_PENDING;
    }));
    driver->WaitUntilQueueHolds(1);

    Flag exited;
    std::thread exiter([&] {
        client->Exit();
        exited.Raise();
    });
    bool ended = exited.WaitFor(machine->Clock(), 600LL * 10'000'000);
    lateMayEnd.Raise();  // its exit cancels what it left held, so a hung exit ends too
    exiter.join();
    if (late.joinable()) {
        late.join();
    }
    EXPECT_TRUE(ended) << "process exit waited for a request a thread of the ending process sent after the cancellation";
    EXPECT_FALSE(first.load()) << "the held request was not cancelled by the exit";
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_CANCELLED);
    EXPECT_FALSE(lateSent.load());
    EXPECT_EQ(lateError.load(), DWORD(ERROR_ACCESS_DENIED));  // STATUS_PROCESS_IS_TERMINATING
    plat::wdf::QueuePowerUp(driver->Fx());
}

// NtCreateFile refuses FILE_SYNCHRONOUS_IO_ALERT together with
// FILE_SYNCHRONOUS_IO_NONALERT, and either without SYNCHRONIZE in the access,
// with STATUS_INVALID_PARAMETER before it looks the name up (Microsoft's
// NtCreateFile/ZwCreateFile documentation: the two are mutually exclusive,
// and either requires SYNCHRONIZE); the driver sees no create. An overlapped
// open needs no SYNCHRONIZE, and CreateFileW asks for it itself.
TEST_F(IoManager, CreateRefusesConflictingOrUnsynchronisedSynchronousOptions)
{
    Start();
    int creates = 0;
    driver->create = [&](WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
        ++creates;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    const ULONG both = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
    const ACCESS_MASK readWrite = GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = nullptr;
    client->Run([&] {
        EXPECT_EQ(plat::um::NtOpenDevice(driver->Path(), readWrite | SYNCHRONIZE, both, &handle),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(plat::um::NtOpenDevice(driver->Path(), readWrite, FILE_SYNCHRONOUS_IO_NONALERT, &handle),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(plat::um::NtOpenDevice(driver->Path(), readWrite, FILE_SYNCHRONOUS_IO_ALERT, &handle),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(plat::um::NtOpenDevice(driver->Path() + L"x", readWrite, both, &handle), STATUS_INVALID_PARAMETER);
    });
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(creates, 0);

    client->Run([&] {
        for (ULONG options : {ULONG(FILE_SYNCHRONOUS_IO_NONALERT), ULONG(FILE_SYNCHRONOUS_IO_ALERT)}) {
            ASSERT_EQ(plat::um::NtOpenDevice(driver->Path(), readWrite | SYNCHRONIZE, options, &handle), STATUS_SUCCESS);
            CloseHandle(handle);
        }
        ASSERT_EQ(plat::um::NtOpenDevice(driver->Path(), readWrite, 0, &handle), STATUS_SUCCESS);
        CloseHandle(handle);
        handle = CreateFileW(driver->Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        CloseHandle(handle);
    });
    EXPECT_EQ(creates, 4);
}

}  // namespace
}  // namespace tvrx::test
