/*
 * Configuration manager notifications as a client that follows the device
 * sees them (Microsoft's "Registering for notification of device interface
 * arrival and device removal"): interface arrival and removal for the class,
 * and for a handle query-remove (which the handle's owner answers by closing
 * it, or vetoes), query-remove-failed, remove-pending and remove-complete.
 * An orderly removal that goes on says remove-pending before the stack goes
 * and remove-complete after; a surprise removal says only remove-complete
 * (CM_NOTIFY_ACTION: either may come without the events before it). Each registration's
 * callbacks run one at a time on a thread of the registering process.
 */
#include <windows.h>

#include <cfgmgr32.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ntos/ps/process.h"
#include "support/playeddriver.h"
#include "um/client.h"

namespace tvrx::test {
namespace {

using namespace std::chrono_literals;

// A client process that registers for the interface class and, while it has
// the device open, for its handle. It closes the handle on a query-remove
// (unless told to veto), reopens on an arrival, and closes after a surprise
// removal. The actions of each kind are logged in the order they came.
class Follower {
public:
    explicit Follower(bool veto = false) : process_("follower"), veto_(veto)
    {
        process_.Run([&] {
            CM_NOTIFY_FILTER filter{};
            filter.cbSize = sizeof filter;
            filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
            filter.u.DeviceInterface.ClassGuid = kPlayedInterface;
            EXPECT_EQ(CM_Register_Notification(&filter, this, OnEvent, &interfaces_), CR_SUCCESS);
        });
    }
    ~Follower()
    {
        // The callbacks take the lock: none may be waited for while it is held.
        process_.Run([&] {
            CM_Unregister_Notification(interfaces_);
            HCMNOTIFICATION handle = nullptr;
            HANDLE device = nullptr;
            {
                std::lock_guard<std::mutex> guard(lock_);
                std::swap(handle, handle_);
                std::swap(device, device_);
            }
            if (handle != nullptr) {
                CM_Unregister_Notification(handle);
            }
            if (device != nullptr) {
                CloseHandle(device);
            }
        });
    }

    // Opens the device (the path the configuration manager lists) and registers for the handle.
    bool Open()
    {
        return process_.Run([&] {
            std::lock_guard<std::mutex> guard(lock_);
            return OpenLocked();
        });
    }
    // Closes the handle and keeps its registration, as after a query-remove.
    void CloseKeepingRegistration()
    {
        process_.Run([&] {
            std::lock_guard<std::mutex> guard(lock_);
            CloseLocked();
        });
    }
    bool IsOpen()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return device_ != nullptr;
    }
    // Waits until `count` actions of the kind were logged (the callbacks run
    // on their own thread); the log of that kind then.
    std::vector<std::string> Await(bool handleKind, size_t count)
    {
        std::unique_lock<std::mutex> lock(lock_);
        std::vector<std::string>& log = handleKind ? handleLog_ : interfaceLog_;
        changed_.wait_for(lock, 10s, [&] { return log.size() >= count; });
        return log;
    }
    ULONG CallbackProcessId() const { return callbackProcess_; }
    ULONG Id() { return process_.Id(); }

private:
    bool OpenLocked()
    {
        std::wstring path = plat::um::FirstDeviceInterface(kPlayedInterface);
        device_ = path.empty() ? INVALID_HANDLE_VALUE
                               : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                             nullptr);
        if (device_ == INVALID_HANDLE_VALUE) {
            device_ = nullptr;
            return false;
        }
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        filter.u.DeviceHandle.hTarget = device_;
        EXPECT_EQ(CM_Register_Notification(&filter, this, OnEvent, &handle_), CR_SUCCESS);
        return true;
    }
    // On a query-remove the handle closes and the registration stays, to
    // hear how the removal ends; once it has ended, the registration goes too.
    void CloseLocked()
    {
        if (device_ != nullptr) {
            CloseHandle(device_);
            device_ = nullptr;
        }
    }
    void ForgetLocked()
    {
        CloseLocked();
        if (handle_ != nullptr) {
            CM_Unregister_Notification(handle_);
            handle_ = nullptr;
        }
    }

    static DWORD OnEvent(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data, DWORD)
    {
        static const char* const kNames[] = {"arrival", "interface-removal", "query-remove", "query-remove-failed",
                                             "remove-pending", "remove-complete"};
        auto* self = static_cast<Follower*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->callbackProcess_ = plat::CurrentProcess().Id();
        bool handleKind = data->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        (handleKind ? self->handleLog_ : self->interfaceLog_).push_back(kNames[action]);
        DWORD answer = ERROR_SUCCESS;
        if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE) {
            if (self->veto_) {
                answer = ERROR_BUSY;
            } else {
                self->CloseLocked();
            }
        } else if (action == CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE) {
            self->ForgetLocked();
        } else if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED && self->device_ == nullptr) {
            self->ForgetLocked();
            self->OpenLocked();  // the device stays: open it again
        } else if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL && self->device_ == nullptr) {
            self->OpenLocked();
        }
        self->changed_.notify_all();
        return answer;
    }

    plat::um::Process process_;
    bool veto_;
    std::mutex lock_;
    std::condition_variable changed_;
    HCMNOTIFICATION interfaces_ = nullptr;
    HCMNOTIFICATION handle_ = nullptr;
    HANDLE device_ = nullptr;
    std::vector<std::string> interfaceLog_;
    std::vector<std::string> handleLog_;
    ULONG callbackProcess_ = 0;
};

using Strings = std::vector<std::string>;
using Notifications = PlayedDriverBed;

// An orderly removal asks the handle's owner first: it closes, so nothing
// vetoes; the interface goes; when the device is added and started again the
// client hears of the arrival and opens again.
TEST_F(Notifications, AClientThatClosesOnQueryRemoveLetsTheRemovalThroughAndReopensOnArrival)
{
    Boot();
    Follower follower;
    ASSERT_TRUE(follower.Open());
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(follower.Await(true, 3), (Strings{"query-remove", "remove-pending", "remove-complete"}));
    EXPECT_EQ(follower.Await(false, 1), Strings{"interface-removal"});
    EXPECT_FALSE(follower.IsOpen());
    EXPECT_EQ(follower.CallbackProcessId(), follower.Id()) << "delivered on a thread of the client's process";

    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(follower.Await(false, 2), (Strings{"interface-removal", "arrival"}));
    // The arrival's callback opened the device again.
    for (int i = 0; i < 1000 && !follower.IsOpen(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(follower.IsOpen());
}

// A handle's owner that answers the query with an error vetoes the removal;
// it hears that the query failed, and the device stays.
TEST_F(Notifications, AnOwnerThatRefusesTheQueryVetoesTheRemoval)
{
    Boot();
    Follower follower(true);
    ASSERT_TRUE(follower.Open());
    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(follower.Await(true, 2), (Strings{"query-remove", "query-remove-failed"}));
    EXPECT_EQ(host->DeviceCount(), 1u);
    EXPECT_TRUE(follower.IsOpen());
}

// A client that keeps its handle without registering still vetoes the
// removal (the outstanding open); a follower beside it, which closed on the
// query, hears the failure and opens again.
TEST_F(Notifications, AnOpenHandleWhenTheQueryReachesTheStackStillVetoes)
{
    Boot();
    Follower follower;
    ASSERT_TRUE(follower.Open());
    plat::um::Process holder("holder");
    HANDLE held = nullptr;
    ASSERT_EQ(holder.Run([&] {
        return plat::um::OpenDevice(plat::um::FirstDeviceInterface(kPlayedInterface), GENERIC_READ, &held);
    }),
              STATUS_SUCCESS);
    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(follower.Await(true, 2), (Strings{"query-remove", "query-remove-failed"}));
    for (int i = 0; i < 1000 && !follower.IsOpen(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(follower.IsOpen()) << "the follower opened again once the removal failed";
    holder.Run([&] { CloseHandle(held); });
}

// After a surprise removal the handle's owner hears remove-complete and
// closes, which lets the removal finish.
TEST_F(Notifications, ASurpriseRemovalEndsTheClientsWait)
{
    Boot();
    Follower follower;
    ASSERT_TRUE(follower.Open());
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(follower.Await(true, 1), Strings{"remove-complete"});
    EXPECT_TRUE(host->WaitForRemovals(10s)) << "the client closed its handle";
    EXPECT_EQ(follower.Await(false, 1), Strings{"interface-removal"});
}

// A removal that asks nobody (the driver's unload removes a device nobody
// has open without a query) still says remove-pending before the stack goes,
// then remove-complete (CM_NOTIFY_ACTION: remove-pending may come without a
// query-remove).
TEST_F(Notifications, ARemovalWithoutAQuerySaysRemovePendingFirst)
{
    Boot();
    Follower follower;
    ASSERT_TRUE(follower.Open());
    follower.CloseKeepingRegistration();
    UnloadClean();
    EXPECT_EQ(follower.Await(true, 2), (Strings{"remove-pending", "remove-complete"}));
}

// Bad registrations are refused with the configuration manager's codes, and
// CM_MapCrToWin32Err gives their Win32 errors.
TEST_F(Notifications, BadRegistrationsAreRefused)
{
    plat::um::Process process("p");
    process.Run([&] {
        HCMNOTIFICATION notification = nullptr;
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
        filter.u.DeviceHandle.hTarget = reinterpret_cast<HANDLE>(0x1234);
        auto callback = [](HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) -> DWORD {
            return ERROR_SUCCESS;
        };
        EXPECT_EQ(CM_Register_Notification(&filter, nullptr, callback, &notification), CR_INVALID_DATA);
        EXPECT_EQ(notification, nullptr);
        filter.cbSize = 4;
        EXPECT_EQ(CM_Register_Notification(&filter, nullptr, callback, &notification), CR_INVALID_DATA);
        EXPECT_EQ(CM_Register_Notification(nullptr, nullptr, callback, &notification), CR_INVALID_POINTER);
        EXPECT_EQ(CM_Unregister_Notification(reinterpret_cast<HCMNOTIFICATION>(0x10)), CR_INVALID_DATA);
        EXPECT_EQ(CM_MapCrToWin32Err(CR_INVALID_DATA, ERROR_GEN_FAILURE), DWORD(ERROR_INVALID_DATA));
        EXPECT_EQ(CM_MapCrToWin32Err(CR_SUCCESS, ERROR_GEN_FAILURE), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(CM_MapCrToWin32Err(0x12345, ERROR_GEN_FAILURE), DWORD(ERROR_GEN_FAILURE));
    });
}

}  // namespace
}  // namespace tvrx::test
