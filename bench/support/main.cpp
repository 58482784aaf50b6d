// The main of every benchmark program: runs the benchmarks, then unloads the
// driver of the shared bed while the platform is still whole.
#include <benchmark/benchmark.h>

#include "support/shared.h"

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return tvrx::bench::ReleaseSharedBed() ? 0 : 1;
}
