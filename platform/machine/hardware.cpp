/* The machine's hardware and its folder. */
#include "machine/hardware.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "base/bugcheck.h"
#include "machine/physmem.h"
#include "machine/registry.h"

namespace plat {
namespace {

std::mutex g_currentLock;
std::atomic<Hardware*> g_current{nullptr};

std::filesystem::path MakeTemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tvrx-machine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary machine folder under " +
                                 std::filesystem::temp_directory_path().string());
    }
    return pattern;
}

// A fresh C: drive has the folders a Windows installation has on the export's way.
void PrepareDrive(const std::filesystem::path& drive)
{
    if (!std::filesystem::exists(drive)) {
        std::filesystem::create_directories(drive / "Windows" / "wwan");
    }
}

}  // namespace

Hardware::Hardware(Options options) : options_(std::move(options)), clock_(options_.clockRate)
{
    if (options_.folder.empty()) {
        folder_ = MakeTemporaryFolder();
        ownsFolder_ = true;
    } else {
        folder_ = options_.folder;
        std::filesystem::create_directories(folder_);
    }
    // The hive first: a damaged registry.reg refuses the machine before anything is written.
    registry_ = std::make_unique<plat::Registry>(folder_ / "registry.reg");
    PrepareDrive(DriveRoot());
    memory_ = std::make_unique<plat::PhysicalMemory>();
    std::lock_guard<std::mutex> guard(g_currentLock);
    previous_ = g_current.load();
    g_current.store(this);
}

Hardware::~Hardware()
{
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        g_current.store(previous_);
    }
    memory_.reset();
    registry_.reset();
    if (ownsFolder_) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

Hardware& Hardware::Current()
{
    Hardware* hardware = CurrentOrNull();
    if (hardware == nullptr) {
        BugCheck(0xDEADDEAD, "no machine: a kernel service ran outside a plat::Machine");
    }
    return *hardware;
}

Hardware* Hardware::CurrentOrNull() { return g_current.load(std::memory_order_acquire); }

}  // namespace plat
