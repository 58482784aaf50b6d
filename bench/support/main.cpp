// The main of every benchmark program: runs the benchmarks, then unloads the
// driver of the shared bed while the platform is still whole. A benchmark
// that reported an error (a device that did not start, a failed request)
// fails the program, so the smoke runs catch it.
#include <benchmark/benchmark.h>

#include <vector>

#include "support/shared.h"

namespace {

class Reporter : public benchmark::ConsoleReporter {
public:
    Reporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            failed = failed || run.error_occurred;
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

    bool failed = false;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    bool clean = tvrx::bench::ReleaseSharedBed();
    return clean && !reporter.failed ? 0 : 1;
}
