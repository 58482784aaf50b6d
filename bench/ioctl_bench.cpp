/*
 * The entry query (IOCTL_TVRX_GET_DEVICE_MODE_ENTRY) from a client process,
 * through the platform into the driver and back, beside the same lookup made
 * directly on the same device context; the query from one and from two
 * client threads at once; and the two things the driver's handler asks of the
 * platform besides the request itself: its traces and its scratch memory
 * object.
 */
#include <benchmark/benchmark.h>

#define WPP_RUNTIME  // the runtime's calls only: this program is not a traced image
#include <wppruntime.h>

#include <string>

#include "support/shared.h"

namespace tvrx::bench {
namespace {

// The driver's lookup, on the same context: the entry for the current device
// mode in the table of the current regulatory type, else entry 0 of table 0.
__attribute__((noinline)) void LookUpEntry(const TVRX_DEVICE_CONTEXT* context, TVRX_DEVICE_MODE_ENTRY_INFO* info)
{
    ULONG regulatoryType = ReadULongNoFence(&context->RegulatoryType);
    ULONG deviceMode = ReadULongNoFence(&context->CurrentDeviceMode);
    const TVRX_DEVICE_MODE_TABLE* table = nullptr;
    ULONG searchCount = 0;
    if (regulatoryType < TVRX_DEVICE_MODE_TABLE_COUNT_MAX) {
        table = &context->DeviceModeTables[regulatoryType];
        searchCount = table->EntryCount < TVRX_DEVICE_MODE_ENTRIES_MAX ? table->EntryCount
                                                                       : TVRX_DEVICE_MODE_ENTRIES_MAX;
    }
    const TVRX_DEVICE_MODE_ENTRY* entry = &context->DeviceModeTables[0].Entries[0];
    for (ULONG i = 0; i < searchCount; i++) {
        if (table->Entries[i].DeviceMode == deviceMode) {
            if (deviceMode <= TVRX_DEVICE_MODE_MATCH_MAX && deviceMode <= table->MaxDeviceMode) {
                entry = &table->Entries[i];
            }
            break;
        }
    }
    info->DeviceMode = entry->DeviceMode;
    info->Value1 = entry->Value1;
    info->Value2 = entry->Value2;
    info->Value3 = entry->Value3;
}

void DirectLookup(benchmark::State& state)
{
    Bed* bed = SharedBed();
    if (bed == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    const TVRX_DEVICE_CONTEXT* context = bed->Context();
    TVRX_DEVICE_MODE_ENTRY_INFO info{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(context);
        LookUpEntry(context, &info);
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

// One trace as the driver writes them: formatted into its in-flight recorder
// log (a log of this program's own, beside the driver's).
void TraceToRecorder(benchmark::State& state)
{
    static const PCSTR flagNames[] = {"TRACE_DRIVER", nullptr};
    static const GUID control = {0x5D1E7A3B, 0x0C4F, 0x4B8E, {0x9A, 0x61, 0x2F, 0x70, 0x11, 0xB3, 0xC8, 0x42}};
    static const WPP_PROVIDER provider = {&control, "TvrxBenchTrace", flagNames, 1};
    UNICODE_STRING path = RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tvrxbench");
    if (SharedBed() == nullptr) {
        state.SkipWithError("the device did not start");
        return;
    }
    PVOID block = nullptr;
    WppInitKm(nullptr, &path, &provider, &block);
    int object = 0;
    for (auto _ : state) {
        WppTraceMessage(block, &control, "bench", __LINE__, __func__, TRACE_LEVEL_INFORMATION, 1,
                        "%!FUNC! set event %p of file object %p", &object, &state);
    }
    WppCleanupKm(nullptr, &block);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TraceToRecorder)->Threads(1)->Threads(2)->UseRealTime();

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
