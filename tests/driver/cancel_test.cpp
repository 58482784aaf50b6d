// Cancelling requests the driver's queue holds while the device sleeps: by
// CancelSynchronousIo, by CancelIoEx, and by the exit of the thread or of the
// process that sent them. A cancelled request completes with STATUS_CANCELLED,
// which Win32 reports as ERROR_OPERATION_ABORTED. A held registration carries
// the driver's reference to the client's event in its request context; the
// driver's cleanup callback releases it on the cancel path, which runs at
// DISPATCH_LEVEL, and the verifier (checked at the end of every test) finds
// any reference left or any call made at the wrong IRQL.
#include "support/client.h"

#include <atomic>
#include <memory>
#include <thread>

#include "wdf/queue.h"

namespace tvrx::test {
namespace {

class Cancellation : public ClientBed {
protected:
    size_t Held()
    {
        auto* device = plat::wdf::ResolveAs<plat::wdf::FxDevice>(Device(), plat::wdf::FxType::Device, "test");
        std::lock_guard<std::mutex> guard(device->defaultQueue->holdLock);
        return device->defaultQueue->held.size();
    }

    static HANDLE OpenOverlapped(Client& client)
    {
        return client.process.Run([] {
            return CreateFileW(TavrixInterfacePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        });
    }

    // The mode-entry query, sent with an OVERLAPPED, on the calling thread.
    static BOOL Query(HANDLE handle, TVRX_DEVICE_MODE_ENTRY_INFO* info, OVERLAPPED* overlapped)
    {
        DWORD bytes = 0;
        return DeviceIoControl(handle, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, info, sizeof *info, &bytes,
                               overlapped);
    }

    // Sends the query on the calling thread; true when the device holds it (ERROR_IO_PENDING).
    static bool QueryHeld(HANDLE handle, TVRX_DEVICE_MODE_ENTRY_INFO* info, OVERLAPPED* overlapped)
    {
        return !Query(handle, info, overlapped) && GetLastError() == ERROR_IO_PENDING;
    }

    static NTSTATUS StatusOf(const OVERLAPPED& overlapped) { return static_cast<NTSTATUS>(overlapped.Internal); }
};

// CancelSynchronousIo (documented: ERROR_NOT_FOUND when the thread waits for
// no request) ends the synchronous registration a thread waits for; the
// client registers again once the device is back.
TEST_F(Cancellation, CancelSynchronousIoEndsTheRequestTheThreadWaitsFor)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    HANDLE event = client.NewEvent();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    std::atomic<DWORD> waiterId{0};
    BOOL registered = TRUE;
    DWORD error = ERROR_SUCCESS;
    std::thread waiter = client.process.Thread([&] {
        waiterId = GetCurrentThreadId();
        TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)event};
        DWORD bytes = 0;
        registered = DeviceIoControl(client.device, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0, &bytes,
                                     nullptr);
        error = GetLastError();
    });
    WaitUntilQueueHolds(Device());
    client.process.Run([&] {
        HANDLE self = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
        EXPECT_FALSE(CancelSynchronousIo(self));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
        CloseHandle(self);
        HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, waiterId);
        EXPECT_TRUE(CancelSynchronousIo(thread));
        CloseHandle(thread);
    });
    waiter.join();
    EXPECT_FALSE(registered);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Held(), 0u);

    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_EQ(client.Register(event), STATUS_SUCCESS);
    client.Close();
    client.CloseObject(event);
}

// CancelIoEx with an OVERLAPPED cancels that request only; without one, every
// request of the handle, whichever thread of the process sent it, and none of
// another handle; with nothing left it fails with ERROR_NOT_FOUND (as
// documented). The cancelled request's event is set, and GetOverlappedResult
// gives ERROR_OPERATION_ABORTED; one still held gives ERROR_IO_INCOMPLETE to
// a look that does not wait, and is answered after the resume.
TEST_F(Cancellation, CancelIoExCancelsOneOverlappedOrEveryRequestOfTheHandle)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    Client client("client");
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    HANDLE overlapped = OpenOverlapped(client);
    ASSERT_NE(overlapped, INVALID_HANDLE_VALUE);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    OVERLAPPED first{}, second{}, third{};
    TVRX_DEVICE_MODE_ENTRY_INFO firstInfo{}, secondInfo{}, thirdInfo{}, syncInfo{};
    Reply synchronous;
    std::thread waiter = client.process.Thread([&] { synchronous = client.GetEntry(&syncInfo); });
    client.process.Run([&] {
        first.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_TRUE(QueryHeld(overlapped, &firstInfo, &first));
        EXPECT_TRUE(QueryHeld(overlapped, &secondInfo, &second));
        EXPECT_TRUE(QueryHeld(overlapped, &thirdInfo, &third));
    });
    WaitUntilQueueHolds(Device(), 4);

    client.process.Run([&] {
        EXPECT_TRUE(CancelIoEx(overlapped, &first));
        DWORD bytes = 1;
        EXPECT_FALSE(GetOverlappedResult(overlapped, &first, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(WaitForSingleObject(first.hEvent, 0), DWORD(WAIT_OBJECT_0));
        EXPECT_FALSE(GetOverlappedResult(overlapped, &second, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
        CloseHandle(first.hEvent);
    });
    EXPECT_EQ(Held(), 3u);

    // The other thread's synchronous request is on the other handle: it stays.
    client.process.Run([&] {
        EXPECT_TRUE(CancelIoEx(overlapped, &second));
        EXPECT_FALSE(CancelIoEx(overlapped, &second));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
        EXPECT_TRUE(CancelIoEx(client.device, nullptr));
    });
    waiter.join();
    EXPECT_EQ(synchronous.status, STATUS_CANCELLED);
    EXPECT_EQ(StatusOf(second), STATUS_CANCELLED);
    EXPECT_EQ(Held(), 1u);

    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    client.process.Run([&] {
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(overlapped, &third, &bytes, TRUE));
        EXPECT_EQ(bytes, sizeof thirdInfo);
        EXPECT_FALSE(CancelIoEx(overlapped, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
        // Not held, answered at once: TRUE, the count in the OVERLAPPED too.
        OVERLAPPED now{};
        EXPECT_TRUE(Query(overlapped, &firstInfo, &now));
        EXPECT_EQ(now.InternalHigh, sizeof firstInfo);
        CloseHandle(overlapped);
    });
}

// A thread that ends with an overlapped request still held has it cancelled
// at its exit, which waits until the request has ended (IoCancelThreadIo):
// once the thread is joined, its OVERLAPPED holds STATUS_CANCELLED. So does a
// thread the process did not start through the platform. Another thread's
// request stays held and is answered after the resume.
TEST_F(Cancellation, ThreadExitCancelsTheRequestsTheThreadLeftHeld)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    Client client("client");
    HANDLE handle = OpenOverlapped(client);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    OVERLAPPED stays{}, left{}, leftByPlain{};
    TVRX_DEVICE_MODE_ENTRY_INFO info[3] = {};
    ASSERT_TRUE(client.process.Run([&] { return QueryHeld(handle, &info[0], &stays); }));
    std::thread sender = client.process.Thread([&] { EXPECT_TRUE(QueryHeld(handle, &info[1], &left)); });
    sender.join();
    EXPECT_EQ(StatusOf(left), STATUS_CANCELLED);
    std::thread plain([&] { client.process.Run([&] { EXPECT_TRUE(QueryHeld(handle, &info[2], &leftByPlain)); }); });
    plain.join();
    EXPECT_EQ(StatusOf(leftByPlain), STATUS_CANCELLED);
    EXPECT_EQ(Held(), 1u);

    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    client.process.Run([&] {
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(handle, &left, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_TRUE(GetOverlappedResult(handle, &stays, &bytes, TRUE));
        EXPECT_EQ(bytes, sizeof info[0]);
        CloseHandle(handle);
    });
}

// A process that ends has the requests of every thread cancelled before its
// handles are closed: the thread waiting in a synchronous registration gets
// STATUS_CANCELLED (rather than the close of its handle waiting behind the
// held request for ever), and an overlapped request ends cancelled. The
// device serves a new client after the resume.
TEST_F(Cancellation, ProcessExitCancelsTheRequestsOfEveryThread)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    auto client = std::make_unique<Client>("client");
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    HANDLE overlapped = OpenOverlapped(*client);
    ASSERT_NE(overlapped, INVALID_HANDLE_VALUE);
    HANDLE event = client->NewEvent();
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);

    std::atomic<NTSTATUS> registered{STATUS_PENDING};
    std::thread waiter = client->process.Thread([&] { registered = client->Register(event); });
    OVERLAPPED query{};
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    ASSERT_TRUE(client->process.Run([&] { return QueryHeld(overlapped, &info, &query); }));
    WaitUntilQueueHolds(Device(), 2);

    client->process.Exit();
    waiter.join();
    EXPECT_EQ(registered.load(), STATUS_CANCELLED);
    EXPECT_EQ(StatusOf(query), STATUS_CANCELLED);
    EXPECT_EQ(Held(), 0u);
    client->device = nullptr;  // closed with its process
    client.reset();

    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    Client next("next");
    ASSERT_EQ(next.Open(), STATUS_SUCCESS);
    EXPECT_EQ(next.GetEntry(&info).status, STATUS_SUCCESS);
}

// Cancellations racing the power-up that presents the held requests: each
// request ends once (a second completion stops the system), answered or
// cancelled according to which side took it from the queue first, and the
// queue is left empty. A cancelled request's packet is recycled at once (the
// driver's _DSM read after the resume may get it, with a cancel routine of its
// own), so a power-up that looked at a request after it left the queue
// completed another request's packet: about one run in ten failed so.
TEST_F(Cancellation, CancellationsRacingThePowerUpEndEachRequestOnce)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    Client client("client");
    HANDLE handle = OpenOverlapped(client);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    constexpr int kRequests = 8;
    int answered = 0, cancelled = 0;
    for (int round = 0; round < 25; ++round) {
        ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
        OVERLAPPED overlapped[kRequests] = {};
        TVRX_DEVICE_MODE_ENTRY_INFO info[kRequests] = {};
        client.process.Run([&] {
            for (int i = 0; i < kRequests; ++i) {
                ASSERT_TRUE(QueryHeld(handle, &info[i], &overlapped[i]));
            }
        });
        WaitUntilQueueHolds(Device(), kRequests);
        std::thread canceller = client.process.Thread([&] {
            for (int i = kRequests - 1; i >= 0; --i) {
                CancelIoEx(handle, &overlapped[i]);
            }
        });
        ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
        canceller.join();
        client.process.Run([&] {
            for (int i = 0; i < kRequests; ++i) {
                DWORD bytes = 0;
                if (GetOverlappedResult(handle, &overlapped[i], &bytes, TRUE)) {
                    EXPECT_EQ(bytes, sizeof info[i]);
                    ++answered;
                } else {
                    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
                    ++cancelled;
                }
            }
        });
        ASSERT_EQ(Held(), 0u);
    }
    EXPECT_EQ(answered + cancelled, 25 * kRequests);
    client.process.Run([&] { CloseHandle(handle); });
}

}  // namespace
}  // namespace tvrx::test
