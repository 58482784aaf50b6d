/* A whole machine: its layers made in order and ended in the reverse order. */
#include "system/machine.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "acpi/acpidevice.h"
#include "base/bugcheck.h"
#include "firmware/firmware.h"
#include "machine/registry.h"
#include "ntos/ps/process.h"

namespace plat {

// The embedded default firmware (the native model), defined with it.
std::shared_ptr<Firmware> MakeDefaultFirmware();

namespace {

std::mutex g_currentLock;
std::atomic<Machine*> g_current{nullptr};

}  // namespace

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(Options options)
    : hardware_(std::make_unique<plat::Hardware>(static_cast<plat::Hardware::Options&&>(options))),
      processes_(std::make_unique<plat::ProcessTable>()),
      acpiHonoursCancel_(options.acpiHonoursCancel), acpiUnregisterWaits_(options.acpiUnregisterWaits)
{
    acpi::SetCancelHonoured(acpiHonoursCancel_);
    acpi::SetUnregisterWaits(acpiUnregisterWaits_);
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        previous_ = g_current.load();
        g_current.store(this);
    }
    SetFirmware(MakeDefaultFirmware());
}

Machine::~Machine()
{
    acpi::InstallFirmware(nullptr);
    firmware_.reset();
    // Evaluation threads end once the firmware is gone (a hung one is released);
    // join them so no thread of this machine outlives it.
    acpi::WaitForEvaluations(std::chrono::seconds(10));
    processes_.reset();
    {
        std::lock_guard<std::mutex> guard(g_currentLock);
        g_current.store(previous_);
    }
    acpi::SetCancelHonoured(previous_ != nullptr && previous_->acpiHonoursCancel_);
    acpi::SetUnregisterWaits(previous_ != nullptr && previous_->acpiUnregisterWaits_);
    hardware_.reset();
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
    firmware_ = std::move(firmware);
    firmware_->Attach(*hardware_);
    acpi::InstallFirmware(firmware_);
    std::string version = firmware_->BiosVersion();
    Registry().SetString(L"\\Registry\\Machine\\SYSTEM\\HardwareConfig\\Current", L"BIOSVersion",
                         std::wstring(version.begin(), version.end()));
}

}  // namespace plat
