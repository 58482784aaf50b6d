// The client sample (samples/client), run in a simulated client process
// against the driver: what a connection manager sees of the device mode, and
// how it follows the device through removals (it registers for the
// configuration manager's interface and handle notifications).
#include "support/client.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "connection.h"

// Entries compare and print by their fields (found by argument lookup: the record is global).
static bool operator==(const TVRX_DEVICE_MODE_ENTRY_INFO& a, const TVRX_DEVICE_MODE_ENTRY_INFO& b)
{
    return a.DeviceMode == b.DeviceMode && a.Value1 == b.Value1 && a.Value2 == b.Value2 && a.Value3 == b.Value3;
}

[[maybe_unused]] static void PrintTo(const TVRX_DEVICE_MODE_ENTRY_INFO& e, std::ostream* os)
{
    *os << "{mode " << e.DeviceMode << ": " << e.Value1 << " " << e.Value2 << " " << e.Value3 << "}";
}

namespace tvrx::test {
namespace {

// The entries a run of the sample reports, seen from the test's thread. The
// run stops at the first entry of stopMode.
class EntryFeed {
public:
    explicit EntryFeed(ULONG stopMode) : stopMode_(stopMode) {}
    // A test that stopped early still waits for the run (its waits end in machine time).
    ~EntryFeed()
    {
        if (runner_.joinable()) {
            runner_.join();
        }
    }

    static VOID OnEvent(PVOID context, TVRX_CLIENT_EVENT event)
    {
        auto* feed = static_cast<EntryFeed*>(context);
        std::lock_guard<std::mutex> hold(feed->lock_);
        feed->events_.push_back(event == TvrxClientDeviceOpened ? "opened" : "closed");
        feed->changed_.notify_all();
    }

    static BOOL OnEntry(PVOID context, const TVRX_DEVICE_MODE_ENTRY_INFO* entry)
    {
        auto* feed = static_cast<EntryFeed*>(context);
        std::lock_guard<std::mutex> hold(feed->lock_);
        feed->entries_.push_back(*entry);
        feed->changed_.notify_all();
        return entry->DeviceMode != feed->stopMode_;
    }

    // Runs the sample on a thread of the process.
    void Start(plat::um::Process& process, TVRX_CLIENT_OPTIONS options)
    {
        options.OnEntry = OnEntry;
        options.OnEvent = OnEvent;
        options.Context = this;
        runner_ = process.Thread([this, options] {
            DWORD result = TvrxClientRun(&options);
            std::lock_guard<std::mutex> hold(lock_);
            result_ = result;
            done_ = true;
            changed_.notify_all();
        });
    }

    // The first `count` entries, or fewer when the run ended before them.
    std::vector<TVRX_DEVICE_MODE_ENTRY_INFO> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return entries_.size() >= count || done_; });
        return entries_;
    }

    // The run's reports (opened, closed) once there are `count` of them, or
    // when the run ended; waits at most 10 s of real time, for a run that fails to report.
    std::vector<std::string> WaitForEvents(size_t count)
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, std::chrono::seconds(10), [&] { return events_.size() >= count || done_; });
        return events_;
    }

    // Whether the run has ended.
    bool Done()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return done_;
    }

    // Waits for the run to end: its result.
    DWORD Join()
    {
        runner_.join();
        return result_;
    }

    std::vector<TVRX_DEVICE_MODE_ENTRY_INFO> Entries()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return entries_;
    }

private:
    const ULONG stopMode_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<TVRX_DEVICE_MODE_ENTRY_INFO> entries_;
    std::vector<std::string> events_;
    bool done_ = false;
    DWORD result_ = ERROR_GEN_FAILURE;
    std::thread runner_;
};

class SampleClient : public ClientBed {
protected:
    // Three tables whose entries for modes 0 and 2 differ everywhere.
    void SetUp() override
    {
        ClientBed::SetUp();
        for (uint64_t t = 0; t < 3; t++) {
            firmware->SetTable(t, Table(0x10 + t, {{0, 100 * t + 1, 100 * t + 2, 100 * t + 3},
                                                   {2, 100 * t + 4, 100 * t + 5, 100 * t + 6}}));
        }
        firmware->SetDeviceMode(0);
    }

    static TVRX_DEVICE_MODE_ENTRY_INFO Entry(ULONG table, ULONG mode)
    {
        ULONG first = 100 * table + (mode == 0 ? 1 : 4);
        return {mode, first, first + 1, first + 2};
    }

    static TVRX_CLIENT_OPTIONS Options(ULONG regulatoryType, DWORD wait)
    {
        TVRX_CLIENT_OPTIONS options{};
        options.RegulatoryType = regulatoryType;
        options.WaitMilliseconds = wait;
        return options;
    }
};

TEST_F(SampleClient, FollowsTheRegulatoryTypeItSetsAndTheFirmwaresModeChanges)
{
    Boot();
    plat::um::Process manager("connection-manager");
    EntryFeed feed(2);
    feed.Start(manager, Options(1, kLongWait));

    // The entry of table 0 first, then of the table the type selects.
    std::vector<TVRX_DEVICE_MODE_ENTRY_INFO> seen = feed.WaitFor(2);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0], Entry(0, 0));
    EXPECT_EQ(seen[1], Entry(1, 0));

    // A mode change in the firmware wakes the client, which reads the new entry and stops there.
    firmware->SetDeviceMode(2);
    firmware->Notify(debugview::DriverLimits().modeChangeNotify);
    EXPECT_EQ(feed.Join(), (DWORD)ERROR_SUCCESS);
    seen = feed.Entries();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.back(), Entry(1, 2));
    // Between them at most the answer to the type change's own signal.
    for (size_t i = 2; i + 1 < seen.size(); i++) {
        EXPECT_TRUE(seen[i] == Entry(1, 0) || seen[i] == Entry(1, 2)) << "entry " << i;
    }

    // The run closed what it opened: no app instance is left on the device.
    EXPECT_TRUE(View().clients.empty());
}

TEST_F(SampleClient, ReportsWhyItCannotFollowTheDevice)
{
    plat::um::Process manager("connection-manager");
    auto run = [&](ULONG type, DWORD wait) {
        EntryFeed feed(0xFF);
        feed.Start(manager, Options(type, wait));
        return feed.Join();
    };

    // No device exposes the interface yet: the run waits for one to arrive, here in vain.
    EXPECT_EQ(run(0, 1000), (DWORD)ERROR_TIMEOUT);

    Boot();
    EXPECT_EQ(run(TVRX_REGULATORY_TYPE_COUNT, kLongWait), (DWORD)ERROR_INVALID_PARAMETER);

    // Nothing changes after the type: the wait for the next signal runs out
    // (machine time), once the type change's own signal has been answered.
    EXPECT_EQ(run(2, 1000), (DWORD)ERROR_TIMEOUT);

    // Out of D0 the device admits no new client; the open's status comes back as its Win32 error.
    ASSERT_EQ(host->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(run(0, kLongWait), RtlNtStatusToDosError(STATUS_INVALID_DEVICE_STATE));
    ASSERT_EQ(host->Resume(), STATUS_SUCCESS);
    EXPECT_TRUE(View().clients.empty());
}

using Strings = std::vector<std::string>;

// A connection manager running as a service across removals: it waits for
// the device, closes its handle on the query of an orderly removal (so the
// removal goes through), opens the device again when it is added back, lets
// it go after a surprise removal (its wait on the driver's event ends, and
// the removal can finish), and ends when its stop event is set.
TEST_F(SampleClient, FollowsTheDeviceThroughRemovalsUntilItsStopEventIsSet)
{
    plat::um::Process manager("connection-manager");
    HANDLE stop = manager.Run([] { return CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    ASSERT_NE(stop, nullptr);
    EntryFeed feed(0xFF);
    TVRX_CLIENT_OPTIONS options = Options(1, kLongWait);
    options.StopEvent = stop;
    feed.Start(manager, options);

    // Started before the device: it opens once the interface arrives.
    Boot();
    EXPECT_EQ(feed.WaitForEvents(1), Strings{"opened"});
    ASSERT_GE(feed.WaitFor(2).size(), 2u);

    // An orderly removal: the sample's handle would veto it if it stayed open.
    ASSERT_EQ(host->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(feed.WaitForEvents(2), (Strings{"opened", "closed"}));

    // Added back: opened again, and followed (the entry of the selected table again).
    size_t before = feed.Entries().size();
    ASSERT_EQ(host->AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(host->Start(), STATUS_SUCCESS);
    EXPECT_EQ(feed.WaitForEvents(3), (Strings{"opened", "closed", "opened"}));
    std::vector<TVRX_DEVICE_MODE_ENTRY_INFO> seen = feed.WaitFor(before + 2);
    ASSERT_GE(seen.size(), before + 2);
    EXPECT_EQ(seen[before + 1], Entry(1, 0));

    // A surprise removal ends the wait on the driver's event: the handle
    // closes and the removal finishes.
    ASSERT_EQ(host->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(feed.WaitForEvents(4), (Strings{"opened", "closed", "opened", "closed"}));
    EXPECT_TRUE(host->WaitForRemovals(std::chrono::seconds(10))) << "the sample closed its handle";
    EXPECT_FALSE(feed.Done()) << "it waits for the device to come back";

    // The service stops.
    manager.Run([&] { SetEvent(stop); });
    EXPECT_EQ(feed.Join(), (DWORD)ERROR_SUCCESS);
    manager.Run([&] { CloseHandle(stop); });
}

// When another client's handle vetoes the removal, the sample hears that the
// query failed and opens the device again at once; the stop event then ends
// a run that waits on the driver's event.
TEST_F(SampleClient, OpensAgainWhenTheRemovalIsVetoedAndStopsWhileFollowing)
{
    Boot();
    plat::um::Process manager("connection-manager");
    HANDLE stop = manager.Run([] { return CreateEventW(nullptr, TRUE, FALSE, nullptr); });
    EntryFeed feed(0xFF);
    TVRX_CLIENT_OPTIONS options = Options(0, kLongWait);
    options.StopEvent = stop;
    feed.Start(manager, options);
    ASSERT_GE(feed.WaitFor(2).size(), 2u);

    Client holder("holder");
    ASSERT_EQ(holder.Open(), STATUS_SUCCESS);
    EXPECT_EQ(host->Remove(), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(feed.WaitForEvents(2), (Strings{"opened", "opened"})) << "reopened without waiting for an arrival";
    ASSERT_GE(feed.WaitFor(4).size(), 4u) << "and followed again";
    holder.Close();

    manager.Run([&] { SetEvent(stop); });
    EXPECT_EQ(feed.Join(), (DWORD)ERROR_SUCCESS);
    manager.Run([&] { CloseHandle(stop); });
    EXPECT_TRUE(View().clients.empty()) << "the run closed what it opened";
}

}  // namespace
}  // namespace tvrx::test
