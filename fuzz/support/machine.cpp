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

}  // namespace

StartedMachine::StartedMachine(const char* fuzzer)
{
    plat::Machine::Options options;
    options.folder = MachineFolder();
    machine = std::make_unique<plat::Machine>(options);
    host = std::make_unique<plat::Host>(*machine);
    if (host->Load() != STATUS_SUCCESS || host->AddBoundDevices() != STATUS_SUCCESS || host->Start() != STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: the driver does not start\n", fuzzer);
        std::abort();
    }
}

}  // namespace tvrx::fuzz
