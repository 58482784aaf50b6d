/*
 * Firmware written in ASL and run by ACPICA, beside the built-in firmware
 * model: one _DSM evaluation by the firmware back end, and a whole device-mode
 * change as the simulator's `mode` makes it (the firmware stores the mode and
 * raises Notify(0x80), the driver's work item reads function 1 again and sets
 * the client's event). Argument 0 is the built-in model, 1 the sample ASL
 * firmware in the AML debugger.
 */
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "firmware/acpica.h"
#include "firmware/native.h"
#include "support/bed.h"
#include "wdf/workitem.h"

namespace tvrx::bench {
namespace {

using Clock = std::chrono::steady_clock;

enum FirmwareKind : int64_t { kNative = 0, kAcpica = 1 };

// The firmware of one benchmark: the built-in model or the sample ASL firmware
// (nullptr, with the reason in error, when ACPICA cannot run it here).
std::shared_ptr<plat::Firmware> MakeFirmware(int64_t kind, std::string* error)
{
    if (kind == kNative) {
        return plat::MakeNativeFirmware();
    }
    if (!plat::AcpicaFirmware::ToolsAvailable()) {
        *error = "iasl or acpiexec is not installed";
        return nullptr;
    }
    try {
        return std::make_shared<plat::AcpicaFirmware>(TVRX_SAMPLE_FIRMWARE);
    } catch (const std::exception& e) {
        *error = e.what();
        return nullptr;
    }
}

void FirmwareArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgName("acpica")->Arg(kNative)->Arg(kAcpica)->UseRealTime();
}

// Function 1 (the device mode: one Integer) and function 2 for table 1 (five
// entries: the longest answer the driver reads at start).
void DsmEvaluation(benchmark::State& state)
{
    std::string error;
    std::shared_ptr<plat::Firmware> firmware = MakeFirmware(state.range(0), &error);
    if (firmware == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const uint64_t function = static_cast<uint64_t>(state.range(1));
    const std::vector<plat::AcpiObject> arguments = plat::NativeFirmware::DsmArguments(function, 1);
    for (auto _ : state) {
        plat::AcpiObject result;
        NTSTATUS status = firmware->Evaluate("\\_SB.TVRX", "_DSM", arguments, &result);
        if (status != STATUS_SUCCESS || (function == 1 && result.type != plat::AcpiObject::Type::Integer) ||
            (function == 2 && result.type != plat::AcpiObject::Type::Package)) {
            state.SkipWithError("the evaluation failed");
            break;
        }
    }
}
BENCHMARK(DsmEvaluation)
    ->ArgNames({"acpica", "function"})
    ->Args({kNative, 1})
    ->Args({kAcpica, 1})
    ->Args({kNative, 2})
    ->Args({kAcpica, 2})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The firmware changes the mode and notifies; the iteration ends when the
// client's event is set, after the driver has read the new mode.
void ModeChange(benchmark::State& state)
{
    std::string error;
    std::shared_ptr<plat::Firmware> firmware = MakeFirmware(state.range(0), &error);
    if (firmware == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto native = std::dynamic_pointer_cast<plat::NativeFirmware>(firmware);
    auto acpica = std::dynamic_pointer_cast<plat::AcpicaFirmware>(firmware);
    Bed bed(firmware);
    if (!bed.Boot()) {
        state.SkipWithError("the device did not start");
        return;
    }
    Client client("mode-change");
    HANDLE device = client.Open(bed.Path());
    HANDLE event = client.NewEvent();
    if (device == nullptr || event == nullptr || client.Register(device, event) != STATUS_SUCCESS) {
        state.SkipWithError("the client could not open and register");
        return;
    }
    WDFDEVICE driverDevice = bed.Host().Device(0);
    uint8_t mode = 0;
    double firmwareSeconds = 0;
    for (auto _ : state) {
        mode = static_cast<uint8_t>(mode == 3 ? 0 : mode + 1);
        NTSTATUS status = STATUS_SUCCESS;
        Clock::time_point start = Clock::now();
        if (native != nullptr) {
            native->SetDeviceMode(mode);
            native->Notify(0x80);
        } else {
            status = acpica->SetDeviceMode(mode);
        }
        firmwareSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        DWORD waited = client.process.Run([&] { return WaitForSingleObject(event, 10000); });
        if (status != STATUS_SUCCESS || waited != WAIT_OBJECT_0 || debugview::ReadDeviceMode(driverDevice) != mode) {
            state.SkipWithError("the driver did not take the new mode");
            break;
        }
    }
    // How long the firmware took to store the mode and notify (the rest is the driver's road).
    state.counters["firmware_us"] = benchmark::Counter(firmwareSeconds * 1e6, benchmark::Counter::kAvgIterations);
    plat::wdf::WaitForWorkItemsIdle(std::chrono::seconds(10));
    client.process.Run([&] {
        CloseHandle(device);
        CloseHandle(event);
        return 0;
    });
}
BENCHMARK(ModeChange)->Apply(FirmwareArguments)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tvrx::bench
