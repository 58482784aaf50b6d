/*
 * The entry query (IOCTL_TVRX_GET_DEVICE_MODE_ENTRY) from a client process,
 * through the platform into the driver and back, beside the same lookup made
 * directly on the device's tables as the debug view reads them; the query from one and from two
 * client threads at once; and the two things the driver's handler asks of the
 * platform besides the request itself: its traces and its scratch memory
 * object.
 */
#include <benchmark/benchmark.h>

#include <x86intrin.h>

#include <cstring>
#include <string>

#include "support/shared.h"
#include "support/tracing.h"

namespace tvrx::bench {
namespace {

// The driver's lookup, on the device's tables as the debug view read them:
// the entry for the current device mode in the table of the current
// regulatory type, else entry 0 of table 0 (zero when that table is empty).
__attribute__((noinline)) void LookUpEntry(const debugview::Device& device, TVRX_DEVICE_MODE_ENTRY_INFO* info)
{
    static const debugview::ModeRow kNone{};
    const debugview::Limits& limits = debugview::DriverLimits();
    uint32_t regulatoryType = device.regulatoryType;
    uint32_t deviceMode = device.currentDeviceMode;
    const debugview::ModeTable* table = regulatoryType < limits.tableCount ? &device.tables[regulatoryType] : nullptr;
    const debugview::ModeRow* entry = device.tables[0].rows.empty() ? &kNone : &device.tables[0].rows[0];
    size_t searchCount = table != nullptr ? table->rows.size() : 0;
    for (size_t i = 0; i < searchCount; i++) {
        if (table->rows[i].mode == deviceMode) {
            if (deviceMode <= limits.highestMatchedMode && deviceMode <= table->maxMode) {
                entry = &table->rows[i];
            }
            break;
        }
    }
    info->DeviceMode = entry->mode;
    info->Value1 = entry->value1;
    info->Value2 = entry->value2;
    info->Value3 = entry->value3;
}

void DirectLookup(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    const debugview::Device device = bed->View();
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&device);
        LookUpEntry(device, &info);
        benchmark::DoNotOptimize(info);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DirectLookup);

// Every thread is a client process of its own with one handle on the device.
void RoundTrip(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    Client client("client" + std::to_string(state.thread_index()));
    HANDLE device = client.Open(bed->Path());
    if (device == nullptr) {
        state.SkipWithError("the device did not open");
        return;
    }
    plat::ProcessScope scope(client.process.Native());
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    for (auto _ : state) {
        ULONG_PTR information = 0;
        NTSTATUS status =
            plat::um::IoControl(device, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY, nullptr, 0, &info, sizeof info, &information);
        if (status != STATUS_SUCCESS || information != sizeof info) {
            state.SkipWithError("the query failed");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
    CloseHandle(device);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RoundTrip)->Threads(1)->Threads(2)->UseRealTime();

// What the machine gives two threads at the time of the run: the same
// arithmetic on one and on two threads, nothing shared. On a machine that
// other work keeps busy two threads get less than twice one; the dispatch
// ratio is read against this one.
void ParallelControl(benchmark::State& state)
{
    uint64_t x = static_cast<uint64_t>(state.thread_index()) + 1;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            benchmark::DoNotOptimize(x);
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ParallelControl)->Threads(1)->Threads(2)->UseRealTime();

// One trace as the driver writes them, into the in-flight recorder.
void TraceToRecorder(benchmark::State& state)
{
    if (SharedBed() == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    StartTracing(state);
    int object = 0;
    for (auto _ : state) {
        BENCH_TRACE(g_tracing->Block(), TRACE_LEVEL_INFORMATION, 1, "%!FUNC! set event %p of file object %p", &object,
                    &state);
    }
    StopTracing(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TraceToRecorder)->Threads(1)->Threads(2)->UseRealTime();

// What every record's time costs: one read of the processor's time-stamp
// counter, the clock the recorder reads.
void TimeStampRead(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(__rdtsc());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TimeStampRead);

// What the driver's dispatcher and handler ask of the platform for one query,
// done here without a request: the same six traces, the scratch memory
// object, and the lookup. The round trip less this is the request path.
void HandlerEquivalent(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    StartTracing(state);
    const debugview::Device device = bed->View();
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    int request = 0;
    for (auto _ : state) {
        PVOID block = g_tracing->Block();
        BENCH_TRACE(block, TRACE_LEVEL_VERBOSE, 2,
                    "%!FUNC! Entry Queue %p, Request %p OutputBufferLength %Iu InputBufferLength %Iu IoControlCode 0x%x",
                    &request, &request, sizeof info, size_t{0}, IOCTL_TVRX_GET_DEVICE_MODE_ENTRY);
        BENCH_TRACE(block, TRACE_LEVEL_VERBOSE, 1, "%!FUNC! Entry");
        BENCH_TRACE(block, TRACE_LEVEL_INFORMATION, 1, "%!FUNC! device mode %u is entry %u of table %u",
                    device.currentDeviceMode, 1u, device.regulatoryType);
        WDFMEMORY memory = nullptr;
        PVOID scratch = nullptr;
        NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, sizeof info, &memory, &scratch);
        if (!NT_SUCCESS(status)) {
            state.SkipWithError("WdfMemoryCreate failed");
            break;
        }
        LookUpEntry(device, static_cast<TVRX_DEVICE_MODE_ENTRY_INFO*>(scratch));
        std::memcpy(&info, scratch, sizeof info);
        BENCH_TRACE(block, TRACE_LEVEL_INFORMATION, 1, "%!FUNC! table %u device mode %u values 0x%x 0x%x 0x%x",
                    device.regulatoryType, info.DeviceMode, info.Value1, info.Value2, info.Value3);
        WdfObjectDelete(memory);
        BENCH_TRACE(block, TRACE_LEVEL_VERBOSE, 1, "%!FUNC! Exit");
        BENCH_TRACE(block, TRACE_LEVEL_VERBOSE, 2, "%!FUNC! Exit");
        benchmark::DoNotOptimize(info);
    }
    StopTracing(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HandlerEquivalent)->Threads(1)->Threads(2)->UseRealTime();

// The handler's scratch memory object: created and deleted once per query.
void ScratchMemoryObject(benchmark::State& state)
{
    if (SharedBed() == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    for (auto _ : state) {
        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        if (!NT_SUCCESS(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0,
                                        sizeof(TVRX_DEVICE_MODE_ENTRY_INFO), &memory, &buffer))) {
            state.SkipWithError("WdfMemoryCreate failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
        WdfObjectDelete(memory);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ScratchMemoryObject)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace tvrx::bench
