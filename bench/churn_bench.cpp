/*
 * Handle churn: a client opens the device, registers its event and closes
 * the handle, a million times over; the throughput, and the resident memory
 * of the process before and after (after a warm-up that fills the caches a
 * steady state keeps).
 */
#include <benchmark/benchmark.h>

#include "support/shared.h"

namespace tvrx::bench {
namespace {

const int64_t kCycles = SmokeRun() ? 1000 : 1000000;
const int64_t kWarmUp = SmokeRun() ? 100 : 10000;

bool Cycle(const std::wstring& path, HANDLE event)
{
    HANDLE device = nullptr;
    if (!NT_SUCCESS(plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &device))) {
        return false;
    }
    TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)event};
    NTSTATUS status = plat::um::IoControl(device, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0, nullptr);
    return CloseHandle(device) && status == STATUS_SUCCESS;
}

void HandleChurn(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    std::wstring path = bed->Path();
    Client client("churn");
    HANDLE event = client.NewEvent();
    plat::ProcessScope scope(client.process.Native());
    for (int64_t i = 0; i < kWarmUp; ++i) {
        if (!Cycle(path, event)) {
            state.SkipWithError("a warm-up cycle failed");
            return;
        }
    }
    long before = ResidentKib();
    for (auto _ : state) {
        if (!Cycle(path, event)) {
            state.SkipWithError("a cycle failed");
            break;
        }
    }
    long after = ResidentKib();
    CloseHandle(event);
    state.SetItemsProcessed(state.iterations());
    state.counters["rss_before_kib"] = static_cast<double>(before);
    state.counters["rss_after_kib"] = static_cast<double>(after);
    state.counters["rss_growth_kib"] = static_cast<double>(after - before);
}
BENCHMARK(HandleChurn)->Iterations(kCycles)->Repetitions(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tvrx::bench
