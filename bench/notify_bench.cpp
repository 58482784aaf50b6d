/*
 * Notification fan-out: from the firmware's Notify(0x80) to the last of N
 * registered client events set, beside a loop that sets N bare KEVENTs.
 * The road between includes the notification handler, the work item, the
 * _DSM read of the device mode and the signalling walk.
 */
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "firmware/firmware.h"
#include "support/bed.h"
#include "wdf/workitem.h"

namespace tvrx::bench {
namespace {

using Clock = std::chrono::steady_clock;

void ReportPerClient(benchmark::State& state, double totalSeconds, size_t clients)
{
    state.counters["clients"] = static_cast<double>(clients);
    state.counters["per_client_ns"] =
        benchmark::Counter(totalSeconds * 1e9 / static_cast<double>(clients), benchmark::Counter::kAvgIterations);
}

// N handles of one client process, each with an event registered. The walk
// sets the newest instance's event first, so the first registered is the last set.
void NotifyFanOut(benchmark::State& state)
{
    const auto clients = static_cast<size_t>(state.range(0));
    Bed bed;
    if (!bed.Boot()) {
        state.SkipWithError("the device did not start");
        return;
    }
    std::wstring path = bed.Path();
    Client client("fanout");
    std::vector<HANDLE> devices, events;
    for (size_t i = 0; i < clients; ++i) {
        HANDLE device = client.Open(path);
        HANDLE event = client.NewEvent();
        devices.push_back(device);
        events.push_back(event);
        if (device == nullptr || event == nullptr || client.Register(device, event) != STATUS_SUCCESS) {
            state.SkipWithError("a client could not open and register");
            break;
        }
    }

    plat::ProcessScope scope(client.process.Native());
    double total = 0;
    if (devices.size() == clients) {
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            bed.Machine().Firmware().Notify(0x80);
            DWORD waited = WaitForSingleObject(events.front(), 10000);
            double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (waited != WAIT_OBJECT_0) {
                state.SkipWithError("the last event was not set");
                break;
            }
            state.SetIterationTime(seconds);
            total += seconds;
            plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
        }
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i] != nullptr) {
            CloseHandle(devices[i]);
        }
        if (events[i] != nullptr) {
            CloseHandle(events[i]);
        }
    }
    ReportPerClient(state, total, clients);
}
BENCHMARK(NotifyFanOut)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BareEventLoop(benchmark::State& state)
{
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<KEVENT> events(count);
    for (KEVENT& event : events) {
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    }
    double total = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        for (KEVENT& event : events) {
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    ReportPerClient(state, total, count);
}
BENCHMARK(BareEventLoop)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tvrx::bench
