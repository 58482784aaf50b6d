// Clients racing each other and the device's signals: opens, closes, event
// registrations, regulatory-type changes, queries and firmware notifications
// all at once. Run under the thread and address sanitizers too; the verifier
// must be clean afterwards.
#include "support/client.h"

#include <atomic>
#include <thread>

#include "wdf/workitem.h"

#if defined(__SANITIZE_THREAD__)
#define TVRX_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TVRX_UNDER_TSAN 1
#endif
#endif

namespace tvrx::test {
namespace {

// Open/close cycles of the long run. ThreadSanitizer slows every cycle down
// many times over, so it runs a tenth of them.
#ifdef TVRX_UNDER_TSAN
constexpr int kOpenCloseCycles = 10000;
constexpr int kRaceRounds = 1000;
#else
constexpr int kOpenCloseCycles = 100000;
constexpr int kRaceRounds = 2000;
#endif

constexpr int kRacingClients = 3;

class Concurrency : public ClientBed {
protected:
    size_t InstanceCount() { return View().appInstances; }
};

// One racing client process: one thread opens, registers and closes handles
// over and over while another queries and sets the regulatory type on a
// handle that stays open, with an event that every change wakes.
void RunRacingClient(Client& client, int seed, std::atomic<int>& failures)
{
    auto check = [&](bool ok) {
        if (!ok) {
            failures.fetch_add(1);
        }
    };
    check(client.Open() == STATUS_SUCCESS);
    HANDLE steady = client.NewEvent();
    check(client.Register(steady) == STATUS_SUCCESS);
    std::wstring path = TavrixInterfacePath();

    std::thread churn = client.process.Thread([&] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        for (int round = 0; round < kRaceRounds; round++) {
            HANDLE device = nullptr;
            check(plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &device) == STATUS_SUCCESS);
            // Every third registration is refused (the device handle is no
            // event), which drops the event registered before it.
            UINT64 handle = (UINT64)(ULONG_PTR)(round % 3 == 2 ? device : event);
            ULONG_PTR information;
            NTSTATUS status = plat::um::IoControl(device, IOCTL_TVRX_SET_EVENT, &handle, sizeof handle, nullptr, 0,
                                                  &information);
            check(status == (round % 3 == 2 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS));
            check(CloseHandle(device) != FALSE);
        }
        CloseHandle(event);
    });

    std::thread queries = client.process.Thread([&] {
        for (int round = 0; round < kRaceRounds; round++) {
            ULONG type = (ULONG)(round + seed) % 3;
            ULONG_PTR information;
            check(plat::um::IoControl(client.device, IOCTL_TVRX_SET_REGULATORY_TYPE, &type, sizeof type, nullptr, 0,
                                      &information) == STATUS_SUCCESS);
            TVRX_DEVICE_MODE_ENTRY_INFO info;
            check(plat::um::IoControl(client.device, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &info,
                                      sizeof info, &information) == STATUS_SUCCESS &&
                  information == sizeof info);
            ULONG index = (ULONG)round % 3;
            TVRX_DEVICE_MODE_TABLE_INFO tableInfo;
            check(plat::um::IoControl(client.device, IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO, &index, sizeof index,
                                      &tableInfo, sizeof tableInfo, &information) == STATUS_SUCCESS);
        }
    });

    churn.join();
    queries.join();
    client.CloseObject(steady);
    client.Close();
}

TEST_F(Concurrency, ClientsRaceEachOtherAndTheSignals)
{
    Boot();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kRacingClients; i++) {
        clients.push_back(std::make_unique<Client>("racer" + std::to_string(i)));
    }

    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    // The firmware keeps announcing device-mode changes meanwhile; each one
    // runs a work item that walks the list while clients come and go.
    std::thread notifier([&] {
        uint64_t mode = 0;
        while (!done.load()) {
            firmware->SetDeviceMode(mode++ % 4);
            firmware->Notify(debugview::DriverLimits().modeChangeNotify);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::thread> racers;
    for (int i = 0; i < kRacingClients; i++) {
        racers.emplace_back([&, i] { RunRacingClient(*clients[i], i, failures); });
    }
    for (std::thread& racer : racers) {
        racer.join();
    }
    done.store(true);
    notifier.join();
    // Notifications still being handled would otherwise meet the unload.
    EXPECT_TRUE(plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(30)));

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(InstanceCount(), 0u);
}

// Opens racing the device's removal: each opens the device before the
// removal looks for open handles (and the removal is vetoed while it is open)
// or finds no device; none reaches a device that is being deleted.
TEST_F(Concurrency, OpensRacingRemovalNeverReachADeviceBeingDeleted)
{
    Boot();
    const std::wstring path = TavrixInterfacePath();
    ASSERT_FALSE(path.empty());
    plat::um::Process opener("opener");
    std::atomic<bool> removed{false};
    std::atomic<int> opened{0};
    std::atomic<int> unexpected{0};
    std::thread opens([&] {
        opener.Run([&] {
            while (!removed.load()) {
                HANDLE handle = nullptr;
                NTSTATUS status = plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &handle);
                if (status == STATUS_SUCCESS) {
                    opened++;
                    CloseHandle(handle);
                } else if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
                    unexpected++;
                }
            }
        });
    });
    while (opened.load() < 100) {
        std::this_thread::yield();
    }
    // The removal is vetoed while the opener holds a handle and goes through
    // once it finds the opener between handles. No cap on the attempts: a
    // capped loop is a time limit in disguise, and a loaded machine can
    // deschedule the opener, handle open, for longer than it lasts.
    NTSTATUS status = host->Remove(0);
    while (status == STATUS_PLUGPLAY_QUERY_VETOED) {
        std::this_thread::yield();
        status = host->Remove(0);
    }
    removed = true;
    opens.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(unexpected.load(), 0);
    HANDLE late = nullptr;
    EXPECT_EQ(opener.Run([&] { return plat::um::OpenDevice(path, GENERIC_READ, &late); }), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Concurrency, ManyOpenCloseCyclesLeaveNothingBehind)
{
    Boot();
    Client a("a"), b("b");
    std::wstring path = TavrixInterfacePath();
    std::atomic<int> failures{0};
    auto cycles = [&](Client& client) {
        return client.process.Thread([&] {
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            for (int i = 0; i < kOpenCloseCycles / 2; i++) {
                HANDLE device = nullptr;
                if (plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &device) != STATUS_SUCCESS) {
                    failures.fetch_add(1);
                    continue;
                }
                if (i % 16 == 0) {
                    UINT64 handle = (UINT64)(ULONG_PTR)event;
                    ULONG_PTR information;
                    if (plat::um::IoControl(device, IOCTL_TVRX_SET_EVENT, &handle, sizeof handle, nullptr, 0,
                                            &information) != STATUS_SUCCESS) {
                        failures.fetch_add(1);
                    }
                }
                CloseHandle(device);
            }
            CloseHandle(event);
        });
    };
    std::thread ta = cycles(a), tb = cycles(b);
    ta.join();
    tb.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(InstanceCount(), 0u);
}

}  // namespace
}  // namespace tvrx::test
