#include "support/machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tvrx::fuzz {
namespace {

// The machine's folder in memory where there is such a file system: the
// registry is saved on every change and would otherwise set the pace.
std::filesystem::path MachineFolder()
{
    std::error_code error;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                                                   : std::filesystem::temp_directory_path();
    std::string pattern = (base / "tvrx-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    static std::filesystem::path folder;
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    return folder;
}

// A machine in that folder.
harness::Options InFolder()
{
    harness::Options options;
    options.machine.folder = MachineFolder();
    return options;
}

}  // namespace

StartedMachine::StartedMachine(const char* fuzzer) : harness::Rig(InFolder())
{
    harness::Step failed = harness::Step::Load;
    if (Boot(harness::Step::Start, &failed) != STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: the driver does not start (%s failed)\n", fuzzer, harness::StepName(failed));
        std::abort();
    }
}

}  // namespace tvrx::fuzz
