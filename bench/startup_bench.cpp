/*
 * Start-up: a new machine, the driver loaded and its device added and
 * started, on the native firmware and on the sample ASL firmware run by
 * ACPICA (compiling it and starting the debugger included); beside them, the
 * simulator's own process start (tvrx-sim --version).
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <stdexcept>

#include "firmware/acpica.h"
#include "support/bed.h"

extern char** environ;

namespace tvrx::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The phases are timed too (machine, load, device add, device start), so a
// slow start says where its time went. Argument 1 puts the machine folder in
// memory (/dev/shm) instead of on the disk: the registry hive is flushed to
// the disk at every change, and the difference is what those flushes cost.
void NativeStart(benchmark::State& state)
{
    const char* previous = std::getenv("TMPDIR");
    std::string kept = previous != nullptr ? previous : "";
    if (state.range(0) == 1) {
        if (access("/dev/shm", W_OK) != 0) {
            state.SkipWithError("/dev/shm is not writable here");
            return;
        }
        setenv("TMPDIR", "/dev/shm", 1);
    }
    // The one device the native firmware has, added by its instance ID (no driver package to read).
    harness::Options options;
    options.instanceId = L"ACPI\\TVRX0001\\0";
    double phases[4] = {};
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        auto rig = std::make_unique<harness::Rig>(options);
        Clock::time_point loading = Clock::now();
        NTSTATUS status = rig->Boot(harness::Step::Load);
        Clock::time_point adding = Clock::now();
        if (NT_SUCCESS(status)) {
            status = rig->Boot(harness::Step::Add);
        }
        Clock::time_point starting = Clock::now();
        if (NT_SUCCESS(status)) {
            status = rig->Boot(harness::Step::Start);
        }
        Clock::time_point end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        phases[0] += std::chrono::duration<double, std::milli>(loading - start).count();
        phases[1] += std::chrono::duration<double, std::milli>(adding - loading).count();
        phases[2] += std::chrono::duration<double, std::milli>(starting - adding).count();
        phases[3] += std::chrono::duration<double, std::milli>(end - starting).count();
        if (!NT_SUCCESS(status)) {
            state.SkipWithError("the device did not start");
            break;
        }
        rig->Unload();
    }
    const char* names[] = {"machine_ms", "load_ms", "add_ms", "start_ms"};
    for (int i = 0; i < 4; ++i) {
        state.counters[names[i]] = benchmark::Counter(phases[i], benchmark::Counter::kAvgIterations);
    }
    if (previous != nullptr) {
        setenv("TMPDIR", kept.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}
BENCHMARK(NativeStart)->ArgName("in_memory")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void AcpicaStart(benchmark::State& state)
{
    if (!plat::AcpicaFirmware::ToolsAvailable()) {
        state.SkipWithError("iasl or acpiexec is not installed");
        return;
    }
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        std::unique_ptr<Bed> bed;
        try {
            bed = std::make_unique<Bed>(std::make_shared<plat::AcpicaFirmware>(TVRX_SAMPLE_FIRMWARE));
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
        bool booted = bed->Boot();
        state.SetIterationTime(Since(start));
        if (!booted) {
            state.SkipWithError("the device did not start");
            break;
        }
        bed.reset();
    }
}
BENCHMARK(AcpicaStart)->UseManualTime()->Unit(benchmark::kMillisecond);

void SimulatorProcessStart(benchmark::State& state)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char program[] = TVRX_SIM_PROGRAM;
    char version[] = "--version";
    char* argv[] = {program, version, nullptr};
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        pid_t pid = 0;
        int status = 0;
        bool ran = posix_spawn(&pid, program, &actions, nullptr, argv, environ) == 0 &&
                   waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        state.SetIterationTime(Since(start));
        if (!ran) {
            state.SkipWithError("tvrx-sim --version did not run");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(SimulatorProcessStart)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrx::bench
