/*
 * Notification fan-out: from the firmware's Notify(0x80) to the last of N
 * registered client events set, beside a loop that sets N bare KEVENTs.
 * The road between includes the notification handler, the work item, the
 * _DSM read of the device mode and the signalling walk; the walk alone is
 * measured too, on the thread of a client that changes the regulatory type.
 */
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "acpi/acpidevice.h"
#include "firmware/native.h"
#include "support/bed.h"
#include "support/tracing.h"
#include "wdf/device.h"
#include "wdf/workitem.h"

namespace tvrx::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The largest client count; a smoke run keeps it small, as every close
// walks the driver's list of instances.
const int64_t kMostClients = SmokeRun() ? 300 : 10000;

void ClientCounts(benchmark::internal::Benchmark* benchmark)
{
    benchmark->Arg(1)->Arg(100)->Arg(1000)->Arg(kMostClients)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

void ReportPerClient(benchmark::State& state, double totalSeconds, size_t clients)
{
    state.counters["clients"] = static_cast<double>(clients);
    state.counters["per_client_ns"] =
        benchmark::Counter(totalSeconds * 1e9 / static_cast<double>(clients), benchmark::Counter::kAvgIterations);
}

// A booted device with N handles of one client process, each with an event
// registered. The walk sets the newest instance's event first, so the first
// registered is the last set.
class RegisteredClients {
public:
    explicit RegisteredClients(size_t count) : client_("fanout")
    {
        if (!bed_.Boot()) {
            error_ = "the device did not start";
            return;
        }
        std::wstring path = bed_.Path();
        for (size_t i = 0; i < count; ++i) {
            HANDLE device = client_.Open(path);
            HANDLE event = client_.NewEvent();
            devices_.push_back(device);
            events_.push_back(event);
            if (device == nullptr || event == nullptr || client_.Register(device, event) != STATUS_SUCCESS) {
                error_ = "a client could not open and register";
                return;
            }
        }
    }
    ~RegisteredClients()
    {
        plat::ProcessScope scope(client_.process.Native());
        for (size_t i = 0; i < devices_.size(); ++i) {
            if (devices_[i] != nullptr) {
                CloseHandle(devices_[i]);
            }
            if (events_[i] != nullptr) {
                CloseHandle(events_[i]);
            }
        }
    }

    const char* Error() const { return error_; }
    Bed& Machine() { return bed_; }
    plat::Process& Process() { return client_.process.Native(); }
    HANDLE FirstDevice() const { return devices_.front(); }
    HANDLE LastSignalled() const { return events_.front(); }

private:
    Bed bed_;
    Client client_;
    std::vector<HANDLE> devices_, events_;
    const char* error_ = nullptr;
};

// A fan-out over N registered clients, run on the client's process: `timed`
// is the measured part of an iteration and gives nullptr or why it failed;
// `after` runs, unmeasured, before the next iteration.
template <class Timed, class After>
void FanOut(benchmark::State& state, Timed timed, After after)
{
    const auto clients = static_cast<size_t>(state.range(0));
    RegisteredClients registered(clients);
    if (registered.Error() != nullptr) {
        state.SkipWithError(registered.Error());
        return;
    }
    plat::ProcessScope scope(registered.Process());
    double total = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        const char* error = timed(registered);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (error != nullptr) {
            state.SkipWithError(error);
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
        after();
    }
    ReportPerClient(state, total, clients);
}

void NotifyFanOut(benchmark::State& state)
{
    FanOut(
        state,
        [](RegisteredClients& registered) -> const char* {
            registered.Machine().Machine().Firmware().Notify(plat::NativeFirmware::kDevicePath, 0x80);
            DWORD waited = WaitForSingleObject(registered.LastSignalled(), 10000);
            return waited == WAIT_OBJECT_0 ? nullptr : "the last event was not set";
        },
        [] { plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10)); });
}
BENCHMARK(NotifyFanOut)->Apply(ClientCounts);

// A storm of Notify(0x80) from the firmware, with one client registered:
// from the first notification to the last work item done and the client
// woken. The handler coalesces what arrives while a read is queued, so the
// storm costs a few reads, not one each.
const int kStormNotifications = SmokeRun() ? 500 : 10000;

void NotifyStorm(benchmark::State& state)
{
    RegisteredClients registered(1);
    if (registered.Error() != nullptr) {
        state.SkipWithError(registered.Error());
        return;
    }
    plat::ProcessScope scope(registered.Process());
    plat::Host& host = registered.Machine().Host();
    auto* fx = plat::wdf::ResolveAs<plat::wdf::FxDevice>(host.Device(0), plat::wdf::FxType::Device, "bench");
    std::shared_ptr<plat::acpi::AcpiDevice> below = plat::acpi::DeviceBelow(fx->lower);
    plat::Firmware& firmware = registered.Machine().Machine().Firmware();
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < kStormNotifications; ++i) {
            firmware.Notify(plat::NativeFirmware::kDevicePath, 0x80);
        }
        bool idle = below->WaitNotificationsIdle() && plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (!idle || WaitForSingleObject(registered.LastSignalled(), 0) != WAIT_OBJECT_0) {
            state.SkipWithError("the storm did not settle with the client woken");
            break;
        }
    }
    state.counters["notifications"] = kStormNotifications;
}
BENCHMARK(NotifyStorm)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same walk without the road to it: a change of the regulatory type sets
// every registered event on the requesting client's own thread before its
// request completes. The notification's road passes four threads, whose
// wake-ups on a busy machine can outweigh the walk itself.
void RegulatoryFanOut(benchmark::State& state)
{
    ULONG type = 1;  // every iteration changes the type: the device starts with 0
    FanOut(
        state,
        [&type](RegisteredClients& registered) -> const char* {
            NTSTATUS status = plat::um::IoControl(registered.FirstDevice(), IOCTL_TVRX_SET_REGULATORY_TYPE, &type,
                                                  sizeof type, nullptr, 0, nullptr);
            return status == STATUS_SUCCESS ? nullptr : "the regulatory type was refused";
        },
        [&type] { type = (type + 1) % TVRX_REGULATORY_TYPE_COUNT; });
}
BENCHMARK(RegulatoryFanOut)->Apply(ClientCounts);

// N bare KEVENTs set in a loop; with traced, each set is followed by the
// trace the driver writes for it (into a recorder log of this program's own),
// which is what the walk must cost at least.
void SetBareEvents(benchmark::State& state, bool traced)
{
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<KEVENT> events(count);
    for (KEVENT& event : events) {
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    }
    BenchTracing tracing;
    PVOID block = traced ? tracing.Block() : nullptr;
    double total = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        for (KEVENT& event : events) {
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            if (traced) {
                BENCH_TRACE(block, TRACE_LEVEL_INFORMATION, 1, "%!FUNC! set event %p of file object %p", &event,
                            &events);
            }
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    ReportPerClient(state, total, count);
}

void BareEventLoop(benchmark::State& state) { SetBareEvents(state, false); }
BENCHMARK(BareEventLoop)->Apply(ClientCounts);

void BareEventLoopTraced(benchmark::State& state) { SetBareEvents(state, true); }
BENCHMARK(BareEventLoopTraced)->Apply(ClientCounts);

}  // namespace
}  // namespace tvrx::bench
