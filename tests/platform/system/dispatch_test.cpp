// Requests, file objects and queue dispatch, driven by a driver written in the test.
#include <windows.h>

#include "support/minidriver.h"
#include "support/machinebed.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "um/client.h"
#include "ntos/io/devicefile.h"
#include "wdf/dispatch.h"
#include "wdf/queue.h"

namespace tvrx::test {
namespace {

using namespace std::chrono_literals;

constexpr ULONG Code(ULONG function, ULONG method = METHOD_BUFFERED, ULONG access = FILE_ANY_ACCESS)
{
    return CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, access);
}

// A one-shot gate. Waits have no time limit: a test waits for the event
// itself, and one that never comes is a hang that CTest's time-out reports.
class Gate {
public:
    void Open()
    {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
        wake_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait(lock, [this] { return open_; });
    }
    bool IsOpen()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return open_;
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool open_ = false;
};

class Dispatch : public MachineBed {
protected:
    void TearDown() override
    {
        client.reset();
        driver.reset();
        MachineBed::TearDown();
    }

    void Start(MiniDriver::Options options = {})
    {
        driver = std::make_unique<MiniDriver>(options);
        client = std::make_unique<plat::um::Process>("client");
    }

    HANDLE Open()
    {
        return client->Run([&] {
            return CreateFileW(driver->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        });
    }

    NTSTATUS Send(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                  ULONG_PTR* information = nullptr)
    {
        return client->Run(
            [&] { return plat::um::IoControl(handle, code, in, inLength, out, outLength, information); });
    }

    // Whether the client's handle still names an object (a look-up, no I/O).
    bool HandleOpen(HANDLE handle)
    {
        plat::ob::Object* object = nullptr;
        ACCESS_MASK granted = 0;
        NTSTATUS status =
            client->Run([&] { return plat::ob::ReferenceByHandle(handle, 0, nullptr, KernelMode, &object, &granted); });
        if (NT_SUCCESS(status)) {
            plat::ob::Dereference(object);
        }
        return NT_SUCCESS(status);
    }

    void Close(HANDLE handle)
    {
        EXPECT_TRUE(client->Run([&] { return CloseHandle(handle); }));
    }

    std::unique_ptr<MiniDriver> driver;
    std::unique_ptr<plat::um::Process> client;
};

TEST_F(Dispatch, BufferedControlCopiesBackOnlyTheBytesTheDriverReports)
{
    Start();
    driver->control = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
        PVOID buffer = nullptr;
        size_t length = 0;
        ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 1, &buffer, &length), STATUS_SUCCESS);
        std::memset(buffer, 0xAB, length);
        switch (code) {
        case Code(1): WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4); break;
        case Code(2): WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1000); break;
        case Code(3): WdfRequestCompleteWithInformation(request, STATUS_UNSUCCESSFUL, 8); break;
        default: WdfRequestCompleteWithInformation(request, STATUS_BUFFER_OVERFLOW, 4); break;
        }
    };
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    UCHAR out[32];
    ULONG_PTR information = 0;
    std::memset(out, 0x11, sizeof out);
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, out, 32, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(out[3], 0xAB);
    EXPECT_EQ(out[4], 0x11);

    // The I/O manager copies back Information bytes as the driver set them;
    // a driver that reports more than the caller's buffer would have it write
    // past the buffer, which Driver Verifier's I/O verification stops (the
    // I/O manager itself does not cut the count).
    EXPECT_DEATH(Send(device, Code(2), nullptr, 0, out, 16, &information), "Information 1000 for an output buffer of 16");

    // An error copies nothing back.
    std::memset(out, 0x11, sizeof out);
    EXPECT_EQ(Send(device, Code(3), nullptr, 0, out, 32, &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out[0], 0x11);

    // A warning does, and Win32 reports it as ERROR_MORE_DATA with the count.
    client->Run([&] {
        DWORD returned = 99;
        std::memset(out, 0x11, sizeof out);
        EXPECT_FALSE(DeviceIoControl(device, Code(4), nullptr, 0, out, 32, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(out[0], 0xAB);
        EXPECT_FALSE(DeviceIoControl(device, Code(3), nullptr, 0, out, 32, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
        EXPECT_EQ(returned, 0u);
    });
    Close(device);
}

TEST_F(Dispatch, InputAndOutputShareOneBufferWithNothingLeftFromEarlierRequests)
{
    Start();
    std::vector<UCHAR> seen;
    driver->control = [&seen](WDFQUEUE, WDFREQUEST request, size_t out, size_t in, ULONG code) {
        PVOID buffer = nullptr;
        ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, out, &buffer, nullptr), STATUS_SUCCESS);
        if (code == Code(1)) {
            std::memset(buffer, 0xCD, out);  // leaves a full buffer behind
            WdfRequestComplete(request, STATUS_SUCCESS);
            return;
        }
        PVOID input = nullptr;
        ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, in, &input, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(input, buffer);
        seen.assign(static_cast<UCHAR*>(buffer), static_cast<UCHAR*>(buffer) + out);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    UCHAR big[64] = {};
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, big, sizeof big), STATUS_SUCCESS);
    const UCHAR in[4] = {1, 2, 3, 4};
    EXPECT_EQ(Send(device, Code(2), in, sizeof in, big, sizeof big), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 64u);
    EXPECT_EQ(seen[3], 4);
    for (size_t i = 4; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], 0) << "byte " << i << " of the system buffer holds an earlier request's data";
    }
    Close(device);
}

TEST_F(Dispatch, BufferRetrievalNeedsTheMinimumAndRefusesAnEmptyBuffer)
{
    Start();
    std::vector<NTSTATUS> results;
    driver->create = [&results](WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
        PVOID buffer = nullptr;
        results.push_back(WdfRequestRetrieveInputBuffer(request, 0, &buffer, nullptr));
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    driver->control = [&results](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        PVOID buffer = reinterpret_cast<PVOID>(1);
        size_t length = 7;
        results.push_back(WdfRequestRetrieveInputBuffer(request, 0, &buffer, &length));
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0u);
        results.push_back(WdfRequestRetrieveOutputBuffer(request, 4, &buffer, &length));
        results.push_back(WdfRequestRetrieveOutputBuffer(request, 3, &buffer, &length));
        EXPECT_EQ(length, 3u);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    UCHAR out[3];
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, out, sizeof out), STATUS_SUCCESS);
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_INVALID_DEVICE_REQUEST, STATUS_BUFFER_TOO_SMALL,
                                              STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS}));
    Close(device);
}

TEST_F(Dispatch, RequestsKnowTheirQueueFileDeviceAndSender)
{
    Start();
    std::vector<KPROCESSOR_MODE> modes;
    WDFFILEOBJECT created = nullptr;
    driver->create = [&](WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
        EXPECT_EQ(WdfRequestGetIoQueue(request), nullptr);
        EXPECT_EQ(WdfRequestGetFileObject(request), file);
        EXPECT_EQ(WdfFileObjectGetDevice(file), device);
        created = file;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    driver->control = [&](WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG) {
        EXPECT_EQ(WdfRequestGetIoQueue(request), queue);
        EXPECT_EQ(WdfIoQueueGetDevice(queue), driver->Device());
        EXPECT_EQ(WdfFileObjectGetDevice(WdfRequestGetFileObject(request)), driver->Device());
        modes.push_back(WdfRequestGetRequestorMode(request));
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_NE(created, nullptr);
    int closes = 0;
    driver->close = [&closes](WDFFILEOBJECT) { ++closes; };
    EXPECT_EQ(plat::um::KernelIoControl(driver->Path(), Code(1), nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(closes, 1);  // the kernel sender's own handle came and went
    EXPECT_EQ(modes, (std::vector<KPROCESSOR_MODE>{UserMode, KernelMode}));
    Close(device);
}

TEST_F(Dispatch, TheIoManagerChecksHandleBuffersAndQueueBeforeTheDriver)
{
    MiniDriver::Options options;
    options.defaultQueue = false;
    Start(options);
    int calls = 0;
    driver->control = [&calls](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++calls;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    HANDLE queryOnly = client->Run(
        [&] { return CreateFileW(driver->Path().c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); });
    UCHAR byte = 0;
    EXPECT_EQ(Send(device, Code(1), nullptr, 4, nullptr, 0), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Send(queryOnly, Code(1, METHOD_BUFFERED, FILE_READ_ACCESS), nullptr, 0, &byte, 1), STATUS_ACCESS_DENIED);
    // No default queue: the framework completes the request itself.
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls, 0);
    Close(queryOnly);
    Close(device);
}

// The I/O manager probes a user-mode caller's buffers as it builds the
// packet (ProbeForRead, ProbeForWrite): a nonzero length in the kernel's part
// of the address space fails with STATUS_ACCESS_VIOLATION before the driver,
// after the handle's access; a zero length is not probed; METHOD_NEITHER's
// buffers are the driver's to probe.
TEST_F(Dispatch, UserBuffersInKernelSpaceNeverReachTheDriver)
{
    Start();
    int calls = 0;
    driver->control = [&calls](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++calls;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    HANDLE queryOnly = client->Run(
        [&] { return CreateFileW(driver->Path().c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); });
    auto* kernel = reinterpret_cast<UCHAR*>(0xFFFFF80000000000ull);
    auto* lastUserPage = reinterpret_cast<UCHAR*>(0x7FFFFFFEF000ull);  // ends 64 KB past the probe address
    UCHAR byte = 0;
    for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        EXPECT_EQ(Send(device, Code(1, method), kernel, 4, nullptr, 0), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(Send(device, Code(1, method), &byte, 1, kernel, 16), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(Send(device, Code(1, method), lastUserPage, 0x11000, nullptr, 0), STATUS_ACCESS_VIOLATION);
    }
    EXPECT_EQ(Send(queryOnly, Code(1, METHOD_BUFFERED, FILE_READ_ACCESS), nullptr, 0, kernel, 1),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(Send(device, Code(1), kernel, 0, kernel, 0), STATUS_SUCCESS);
    EXPECT_EQ(Send(device, Code(1, METHOD_NEITHER), kernel, 4, kernel, 4), STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);
    Close(queryOnly);
    Close(device);
}

// The other file services check what the I/O manager checks, in its order,
// and the framework refuses what the driver has no callback for with
// STATUS_INVALID_DEVICE_REQUEST (a read or write without EvtIoRead or
// EvtIoWrite: FxIoQueue; any other major: KMDF's default handler of a
// function driver).
TEST_F(Dispatch, FileServicesTheDriverDoesNotHandleAreRefusedAfterTheIoManagersChecks)
{
    Start();
    using plat::io::FileService;
    using plat::io::FileServiceCall;
    HANDLE device = Open();
    HANDLE overlapped = nullptr;
    HANDLE attributes = nullptr;
    client->Run([&] {
        EXPECT_EQ(plat::um::OpenDevice(driver->Path(), GENERIC_READ | GENERIC_WRITE, &overlapped, 0), STATUS_SUCCESS);
        EXPECT_EQ(plat::um::OpenDevice(driver->Path(), FILE_READ_ATTRIBUTES, &attributes), STATUS_SUCCESS);
    });
    auto call = [&](HANDLE handle, FileServiceCall request) {
        ULONG_PTR information = 0;
        return client->Run([&] { return plat::io::CallFileService(handle, UserMode, request, &information); });
    };
    UCHAR buffer[64] = {};
    LONGLONG offset = 0;
    auto* kernel = reinterpret_cast<UCHAR*>(0xFFFFF80000000000ull);
    EXPECT_EQ(call(device, {FileService::Read, buffer, 16}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call(device, {FileService::Write, buffer, 0}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call(device, {FileService::Read, kernel, 16}), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(call(overlapped, {FileService::Read, buffer, 16}), STATUS_INVALID_PARAMETER);  // no position
    EXPECT_EQ(call(overlapped, {FileService::Read, buffer, 16, 0, &offset}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call(attributes, {FileService::Read, kernel, 16}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(call(attributes, {FileService::Flush}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(call(device, {FileService::Flush}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call(device, {FileService::Lock, nullptr, 1, 0, &offset}), STATUS_INVALID_DEVICE_REQUEST);
    // Information: the class, then the length, then the buffer, then the handle's access.
    EXPECT_EQ(call(attributes, {FileService::QueryInformation, kernel, 0, 1}), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(call(attributes, {FileService::QueryInformation, kernel, 39, 4}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(call(attributes, {FileService::SetInformation, kernel, 40, 4}), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(call(attributes, {FileService::SetInformation, buffer, 40, 4}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(call(attributes, {FileService::QueryInformation, buffer, 40, 4}), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(call(device, {FileService::QueryVolumeInformation, buffer, 24, 1}), STATUS_INVALID_DEVICE_REQUEST);
    // The I/O manager's own answers: the access granted and a synchronous file's position.
    ULONG granted = 0;
    EXPECT_EQ(call(attributes, {FileService::QueryInformation, &granted, sizeof(granted), 8}), STATUS_SUCCESS);
    // The open asked for SYNCHRONIZE too, as a synchronous open must (NtCreateFile).
    EXPECT_EQ(granted, ACCESS_MASK(FILE_READ_ATTRIBUTES | SYNCHRONIZE));
    LONGLONG position = 512;
    EXPECT_EQ(call(device, {FileService::SetInformation, &position, sizeof(position), 14}), STATUS_SUCCESS);
    position = 0;
    EXPECT_EQ(call(device, {FileService::QueryInformation, &position, sizeof(position), 14}), STATUS_SUCCESS);
    EXPECT_EQ(position, 512);
    EXPECT_EQ(call(overlapped, {FileService::QueryInformation, &position, sizeof(position), 14}),
              STATUS_INVALID_DEVICE_REQUEST);  // an overlapped file's position is the driver's
    Close(attributes);
    Close(overlapped);
    Close(device);
}

// Only EvtIoInCallerContext may give a request to a queue: from a queue's
// own callback KMDF refuses it with STATUS_INVALID_DEVICE_REQUEST and its
// verifier breaks (FxPkgIo::VerifyEnqueueRequestUpdateFlags), a finding here;
// the request stays the driver's to complete.
TEST_F(Dispatch, EnqueueOutsideTheCallersContextIsRefusedAndReported)
{
    Start();
    NTSTATUS enqueued = STATUS_PENDING;
    driver->control = [&enqueued](WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG) {
        enqueued = WdfDeviceEnqueueRequest(WdfIoQueueGetDevice(queue), request);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(enqueued, STATUS_INVALID_DEVICE_REQUEST);
    Close(device);
    plat::verifier::Report report = plat::verifier::Check();  // the driver's objects are alive, too
    size_t breaks = 0;
    for (const std::string& finding : report.findings) {
        breaks += finding.find("verifier break") != std::string::npos;
    }
    EXPECT_EQ(breaks, 1u) << report.Text();
}

TEST_F(Dispatch, FailedCreateFailsTheOpenAndNeverCloses)
{
    Start();
    std::vector<std::string> calls;
    NTSTATUS createStatus = STATUS_INVALID_DEVICE_STATE;
    driver->create = [&](WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
        calls.push_back("create");
        WdfRequestComplete(request, createStatus);
    };
    driver->cleanup = [&](WDFFILEOBJECT) { calls.push_back("cleanup"); };
    driver->close = [&](WDFFILEOBJECT) { calls.push_back("close"); };
    client->Run([&] {
        EXPECT_EQ(CreateFileW(driver->Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    });
    EXPECT_EQ(calls, (std::vector<std::string>{"create"}));
    createStatus = STATUS_SUCCESS;
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    client->Exit();  // process exit closes what it left open
    EXPECT_EQ(calls, (std::vector<std::string>{"create", "create", "cleanup", "close"}));
}

// A handle CreateFileW opens without FILE_FLAG_OVERLAPPED is for synchronous
// I/O (FO_SYNCHRONOUS_IO): the I/O manager serialises the file's requests
// with the file object's lock, and the cleanup of its last handle takes that
// lock too. So CloseHandle on another thread waits for the request still in
// the driver, and EvtFileCleanup comes only after it completed (Windows ends
// such a wait only by cancelling the request, CancelSynchronousIo); the close
// follows once no request holds the file.
TEST_F(Dispatch, ClosingTheLastHandleWaitsForASynchronousRequestInTheDriver)
{
    Start();
    Gate inside, release;
    std::vector<std::string> order;
    std::mutex orderLock;
    auto note = [&](const char* what) {
        std::lock_guard<std::mutex> guard(orderLock);
        order.push_back(what);
    };
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        inside.Open();
        release.Wait();
        note("completed");
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    driver->cleanup = [&](WDFFILEOBJECT) { note("cleanup"); };
    driver->close = [&](WDFFILEOBJECT) { note("close"); };
    HANDLE device = Open();
    std::thread sender = client->Thread([&] { plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    inside.Wait();
    std::thread closer = client->Thread([&] {
        EXPECT_TRUE(CloseHandle(device));
        note("handle closed");
    });
    // The handle is gone from the table as soon as the close starts; its
    // cleanup still waits for the request.
    while (HandleOpen(device)) {
        std::this_thread::yield();
    }
    {
        std::lock_guard<std::mutex> guard(orderLock);
        EXPECT_TRUE(order.empty()) << "cleanup while a synchronous request of the file was in the driver";
    }
    release.Open();
    sender.join();
    closer.join();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], "completed");
    EXPECT_EQ(order[1], "cleanup");
    // The close comes with the last reference: the closer's, or the sender's if it lets go later.
    EXPECT_EQ(std::count(order.begin() + 2, order.end(), "close"), 1);
    EXPECT_EQ(std::count(order.begin() + 2, order.end(), "handle closed"), 1);
}

// A synchronous file's requests take turns: a second thread's request on the
// same handle reaches the driver only after the first has completed. An
// overlapped open has no file object lock, so the parallel queue presents its
// requests at the same time.
TEST_F(Dispatch, RequestsOfASynchronousHandleTakeTurnsThoseOfAnOverlappedOneDoNot)
{
    Start();
    std::mutex lock;
    std::condition_variable wake;
    int inside = 0, most = 0, arrived = 0;
    bool release = false;
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        std::unique_lock<std::mutex> guard(lock);
        most = std::max(most, ++inside);
        ++arrived;
        wake.notify_all();
        wake.wait(guard, [&] { return release || arrived >= 2; });
        --inside;
        guard.unlock();
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    auto sendTwice = [&](HANDLE device) {
        std::vector<std::thread> senders;
        for (int i = 0; i < 2; ++i) {
            senders.push_back(client->Thread([device] {
                EXPECT_EQ(plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
            }));
        }
        return senders;
    };

    HANDLE overlapped = nullptr;
    ASSERT_EQ(client->Run([&] { return plat::um::OpenDevice(driver->Path(), GENERIC_READ, &overlapped, 0); }),
              STATUS_SUCCESS);
    for (std::thread& sender : sendTwice(overlapped)) {
        sender.join();  // each waits in the driver until the other is there too
    }
    EXPECT_EQ(most, 2) << "both requests of the overlapped handle must be inside the driver at once";
    Close(overlapped);

    most = arrived = 0;
    HANDLE synchronous = Open();
    std::vector<std::thread> senders = sendTwice(synchronous);
    {
        // The first is in the driver; the second waits for the file object's lock.
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [&] { return arrived >= 1; });
        release = true;
        wake.notify_all();
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(arrived, 2);
    EXPECT_EQ(most, 1) << "two requests of one synchronous handle were in the driver at once";
    Close(synchronous);
}

// KMDF's cleanup (FxPkgGeneral::OnCleanup) calls EvtFileCleanup and then
// flushes every queue by file object: the requests of the closing file that
// a queue still holds, such as those a power-managed queue holds while the
// device is out of D0, complete with STATUS_CANCELLED; another file's stay
// held and are presented at power-up. Overlapped handles, whose cleanup does
// not wait for their requests.
TEST_F(Dispatch, CleanupCancelsTheHeldRequestsOfItsFileOnly)
{
    Start();
    std::atomic<int> presented{0};
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++presented;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    std::atomic<NTSTATUS> closing{STATUS_PENDING}, staying{STATUS_PENDING};
    std::atomic<NTSTATUS> closingAtCleanup{STATUS_SUCCESS};
    driver->cleanup = [&](WDFFILEOBJECT) { closingAtCleanup = closing.load(); };
    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(client->Run([&] { return plat::um::OpenDevice(driver->Path(), GENERIC_READ, &a, 0); }), STATUS_SUCCESS);
    ASSERT_EQ(client->Run([&] { return plat::um::OpenDevice(driver->Path(), GENERIC_READ, &b, 0); }), STATUS_SUCCESS);

    plat::wdf::QueuePowerDown(driver->Fx());
    std::thread first = client->Thread([&] { closing = plat::um::IoControl(a, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    std::thread second = client->Thread([&] { staying = plat::um::IoControl(b, Code(2), nullptr, 0, nullptr, 0, nullptr); });
    driver->WaitUntilQueueHolds(2);

    Close(a);  // the cleanup cancels before the close returns
    {
        std::lock_guard<std::mutex> guard(driver->Fx()->defaultQueue->holdLock);
        EXPECT_EQ(driver->Fx()->defaultQueue->held.size(), 1u) << "the closed handle's request is still held";
    }
    EXPECT_EQ(closingAtCleanup.load(), STATUS_PENDING) << "EvtFileCleanup runs before the queues are flushed";
    EXPECT_EQ(staying.load(), STATUS_PENDING);

    plat::wdf::QueuePowerUp(driver->Fx());
    first.join();
    second.join();
    EXPECT_EQ(closing.load(), STATUS_CANCELLED);
    EXPECT_EQ(staying.load(), STATUS_SUCCESS);
    EXPECT_EQ(presented.load(), 1) << "only the other handle's request reaches the driver";
    Close(b);
}

// The I/O manager cancels a held request through the queue's cancel routine
// at DISPATCH_LEVEL, as under the cancel spin lock; the request never reaches
// the driver, completes with STATUS_CANCELLED, and its cleanup callback runs
// on that path at DISPATCH_LEVEL (a request completed by the driver is
// cleaned up at PASSIVE_LEVEL, where the driver completed it).
TEST_F(Dispatch, AHeldRequestCancelledByTheIoManagerIsCleanedUpAtDispatchLevel)
{
    Start();
    std::atomic<int> presented{0};
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++presented;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    std::atomic<int> cleanupIrql{-1};
    driver->requestCleanup = [&](WDFREQUEST) { cleanupIrql = KeGetCurrentIrql(); };
    HANDLE device = Open();
    plat::wdf::QueuePowerDown(driver->Fx());
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender = client->Thread([&] { status = plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    driver->WaitUntilQueueHolds();
    EXPECT_TRUE(client->Run([&] { return CancelIoEx(device, nullptr); }));
    sender.join();
    EXPECT_EQ(status.load(), STATUS_CANCELLED);
    EXPECT_EQ(cleanupIrql.load(), DISPATCH_LEVEL);
    EXPECT_EQ(presented.load(), 0);

    plat::wdf::QueuePowerUp(driver->Fx());
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(cleanupIrql.load(), PASSIVE_LEVEL);
    Close(device);
}

// A synchronous handle's request held out of D0 keeps the file object's
// lock: closing the handle waits until the device is back and the request
// has been presented and completed, and is not cancelled by the cleanup.
TEST_F(Dispatch, ASynchronousRequestHeldOutOfD0KeepsItsHandlesCloseWaiting)
{
    Start();
    std::atomic<bool> cleanedUp{false};
    driver->cleanup = [&](WDFFILEOBJECT) { cleanedUp = true; };
    HANDLE device = Open();
    plat::wdf::QueuePowerDown(driver->Fx());
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender = client->Thread([&] { status = plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    driver->WaitUntilQueueHolds();
    std::thread closer = client->Thread([&] { EXPECT_TRUE(CloseHandle(device)); });
    while (HandleOpen(device)) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(cleanedUp.load());
    EXPECT_EQ(status.load(), STATUS_PENDING);
    plat::wdf::QueuePowerUp(driver->Fx());
    sender.join();
    closer.join();
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
    EXPECT_TRUE(cleanedUp.load());
}

TEST_F(Dispatch, PowerManagedQueueStopsInFlightRequestsAndHoldsNewOnesOutOfD0)
{
    Start();
    Gate firstInside, stopped, secondPresented;
    std::atomic<ULONG> stopFlags{0};
    driver->stop = [&](WDFQUEUE, WDFREQUEST, ULONG flags) {
        stopFlags = flags;
        stopped.Open();
    };
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
        if (code == Code(1)) {
            firstInside.Open();
            stopped.Wait();  // completes on its own once told the queue stops
        } else {
            secondPresented.Open();
        }
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    std::thread first = client->Thread([&] { plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    firstInside.Wait();
    plat::wdf::QueuePowerDown(driver->Fx());  // returns once the first request completed
    first.join();
    EXPECT_EQ(stopFlags.load(), static_cast<ULONG>(WdfRequestStopActionSuspend));

    // KMDF's power-managed queue holds a request that arrives out of D0 (its
    // packet pends) and presents it from the framework's power-up path: on
    // the thread that powers the device up, in the System process, not on the
    // sender's thread.
    std::atomic<NTSTATUS> secondStatus{STATUS_PENDING};
    std::atomic<bool> presentedInSystem{false};
    std::thread::id presentedOn;
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        presentedInSystem = plat::CurrentProcess().IsSystem();
        presentedOn = std::this_thread::get_id();
        secondPresented.Open();
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    std::thread second = client->Thread(
        [&] { secondStatus = plat::um::IoControl(device, Code(2), nullptr, 0, nullptr, 0, nullptr); });
    driver->WaitUntilQueueHolds();
    EXPECT_FALSE(secondPresented.IsOpen()) << "a request reached the driver while the device was out of D0";
    EXPECT_EQ(secondStatus.load(), STATUS_PENDING);
    plat::wdf::QueuePowerUp(driver->Fx());
    EXPECT_TRUE(secondPresented.IsOpen()) << "the power-up path presents what its queue held";
    EXPECT_EQ(presentedOn, std::this_thread::get_id());
    EXPECT_TRUE(presentedInSystem.load());
    second.join();
    EXPECT_EQ(secondStatus.load(), STATUS_SUCCESS);
    Close(device);
}

TEST_F(Dispatch, DeviceDeletedWithAnOpenHandleClosesTheFileForTheDriver)
{
    Start();
    int closes = 0;
    driver->close = [&closes](WDFFILEOBJECT) { ++closes; };
    HANDLE device = Open();
    driver.reset();  // the driver unloads; its device and file objects go
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_DEVICE_DOES_NOT_EXIST);
    Close(device);
}

// Handles resolve in the sending thread's process: a handle value of another
// process names nothing here, and a kernel handle is refused to a user-mode
// caller (ObReferenceObjectByHandle with UserMode).
TEST_F(Dispatch, DeviceHandlesOfAnotherProcessOrOfTheKernelAreRefusedToUserMode)
{
    Start();
    int presented = 0;
    driver->control = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        ++presented;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    plat::um::Process other("other");
    EXPECT_EQ(other.Run([&] { return plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); }),
              STATUS_INVALID_HANDLE);

    HANDLE kernel = nullptr;
    ASSERT_EQ(plat::io::OpenDevice(&driver->Fx()->deviceObject, GENERIC_READ, KernelMode, true, 0, &kernel),
              STATUS_SUCCESS);
    EXPECT_EQ(Send(kernel, Code(1), nullptr, 0, nullptr, 0), STATUS_INVALID_HANDLE);
    EXPECT_EQ(presented, 0);
    EXPECT_EQ(Send(device, Code(1), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(presented, 1);
    EXPECT_EQ(plat::ob::CloseHandle(kernel, KernelMode), STATUS_SUCCESS);
    Close(device);
}

using DispatchDeath = Dispatch;

// A request cleanup callback that is pageable is stopped by the verifier
// when a cancellation runs it at DISPATCH_LEVEL.
TEST_F(DispatchDeath, APageableRequestCleanupStopsTheSystemOnTheCancelPath)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Start();
    driver->requestCleanup = [](WDFREQUEST) { PAGED_CODE(); };
    HANDLE device = Open();
    plat::wdf::QueuePowerDown(driver->Fx());
    std::thread sender = client->Thread([&] { plat::um::IoControl(device, Code(1), nullptr, 0, nullptr, 0, nullptr); });
    driver->WaitUntilQueueHolds();
    EXPECT_DEATH(client->Run([&] { CancelIoEx(device, nullptr); }), "pageable code at raised IRQL");
    plat::wdf::QueuePowerUp(driver->Fx());  // here the request is presented and cleaned up at PASSIVE_LEVEL
    sender.join();
    Close(device);
}

TEST_F(DispatchDeath, DriverMistakesWithRequestsStopTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Start();
    WDFREQUEST kept = nullptr;
    driver->control = [&kept](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
        if (code == Code(1) || code == Code(3)) {
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
        if (code == Code(1)) {
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
        kept = request;
    };
    HANDLE device = Open();
    EXPECT_DEATH(Send(device, Code(1), nullptr, 0, nullptr, 0), "completed twice");
    EXPECT_DEATH(Send(device, Code(2), nullptr, 0, nullptr, 0), "returned without completing");
    EXPECT_EQ(Send(device, Code(3), nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_DEATH(WdfRequestGetRequestorMode(kept), "already been completed");
    Close(device);
}

}  // namespace
}  // namespace tvrx::test
