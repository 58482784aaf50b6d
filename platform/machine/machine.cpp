/* The simulated machine and its folder. */
#include "machine/machine.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "acpi/acpidevice.h"
#include "firmware/firmware.h"
#include "machine/physmem.h"
#include "machine/process.h"
#include "machine/registry.h"
#include "nt/bugcheck.h"

namespace plat {

// The embedded default firmware (the native model), defined with it.
std::shared_ptr<Firmware> MakeDefaultFirmware();

namespace {

std::mutex g_currentLock;
std::atomic<Machine*> g_current{nullptr};

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

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(Options options) : options_(std::move(options)), clock_(options_.clockRate)
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
    processes_ = std::make_unique<plat::ProcessTable>();
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        previous_ = g_current.load();
        g_current.store(this);
    }
    SetFirmware(MakeDefaultFirmware());
}

Machine::~Machine()
{
    if (firmware_) {
        firmware_->SetNotifySink(nullptr);
    }
    firmware_.reset();
    // Evaluation threads end once the firmware is gone (a hung one is released);
    // join them so no thread of this machine outlives it.
    acpi::WaitForEvaluations(std::chrono::seconds(10));
    processes_.reset();
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

Machine& Machine::Current()
{
    Machine* machine = CurrentOrNull();
    if (machine == nullptr) {
        BugCheck(0xDEADDEAD, "no machine: a kernel service ran outside a plat::Machine");
    }
    return *machine;
}

Machine* Machine::CurrentOrNull() { return g_current.load(std::memory_order_acquire); }

void Machine::SetFirmware(std::shared_ptr<plat::Firmware> firmware)
{
    if (firmware_) {
        firmware_->SetNotifySink(nullptr);
    }
    firmware_ = std::move(firmware);
    firmware_->Attach(*this);
    acpi::ConnectFirmware(*this);
    std::string version = firmware_->BiosVersion();
    registry_->SetString(L"\\Registry\\Machine\\SYSTEM\\HardwareConfig\\Current", L"BIOSVersion",
                         std::wstring(version.begin(), version.end()));
}

}  // namespace plat
