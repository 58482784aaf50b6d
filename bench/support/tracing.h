/*
 * A trace control block of the benchmark program's own (a recorder log of
 * its own beside the driver's), for traces written the way the driver writes
 * them, to measure what a trace costs apart from the code around it.
 */
#pragma once
#include <benchmark/benchmark.h>

#define WPP_RUNTIME  // the runtime's calls only: this program is not a traced image
#include <wppruntime.h>

namespace tvrx::bench {

class BenchTracing {
public:
    BenchTracing()
    {
        static const PCSTR flagNames[] = {"TRACE_DRIVER", "TRACE_QUEUE", nullptr};
        static const WPP_PROVIDER provider = {&kControl, "TvrxBenchTrace", flagNames, 2};
        UNICODE_STRING path =
            RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tvrxbench");
        WppInitKm(nullptr, &path, &provider, &block_);
    }
    ~BenchTracing() { WppCleanupKm(nullptr, &block_); }
    BenchTracing(const BenchTracing&) = delete;
    BenchTracing& operator=(const BenchTracing&) = delete;
    PVOID Block() const { return block_; }

    static constexpr GUID kControl = {0x5D1E7A3B, 0x0C4F, 0x4B8E, {0x9A, 0x61, 0x2F, 0x70, 0x11, 0xB3, 0xC8, 0x42}};

private:
    PVOID block_ = nullptr;
};

// Made by the first thread before the timed loop and ended by it after: the
// loop's start and end are barriers for all threads of a benchmark.
inline BenchTracing* g_tracing = nullptr;

inline void StartTracing(const benchmark::State& state)
{
    if (state.thread_index() == 0) {
        g_tracing = new BenchTracing();
    }
}

inline void StopTracing(const benchmark::State& state)
{
    if (state.thread_index() == 0) {
        delete g_tracing;
        g_tracing = nullptr;
    }
}

}  // namespace tvrx::bench

#define BENCH_TRACE(block, level, flags, ...)                                                                     \
    WppTraceMessage((block), &::tvrx::bench::BenchTracing::kControl, "bench", __LINE__, __func__, (level), (flags), \
                    __VA_ARGS__)
