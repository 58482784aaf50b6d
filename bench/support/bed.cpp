#include "support/bed.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace tvrx::bench {

bool SmokeRun() { return std::getenv("TVRX_BENCH_SMOKE") != nullptr; }

harness::Options Bed::WithFirmware(std::shared_ptr<plat::Firmware> firmware)
{
    harness::Options options;
    options.firmware = std::move(firmware);
    return options;
}

Bed::Bed(std::shared_ptr<plat::Firmware> firmware) : rig_(WithFirmware(std::move(firmware))) {}

Bed::~Bed() { Unload(); }

bool Bed::Unload()
{
    plat::verifier::Report report = rig_.Unload();
    if (!report.Clean()) {
        std::fprintf(stderr, "verifier at unload:\n%s\n", report.Text().c_str());
    }
    return report.Clean();
}

bool Bed::Boot()
{
    harness::Step step = harness::Step::Load;
    NTSTATUS status;
    try {
        status = rig_.Boot(harness::Step::Start, &step);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "the driver did not come up: %s\n", error.what());
        return false;
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "%s failed: 0x%08X\n", harness::StepName(step), static_cast<unsigned>(status));
        return false;
    }
    return true;
}

HANDLE Client::Open(const std::wstring& path)
{
    HANDLE device = nullptr;
    NTSTATUS status =
        process.Run([&] { return plat::um::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &device); });
    return NT_SUCCESS(status) ? device : nullptr;
}

HANDLE Client::NewEvent()
{
    return process.Run([] { return CreateEventW(nullptr, FALSE, FALSE, nullptr); });
}

NTSTATUS Client::Register(HANDLE device, HANDLE event)
{
    TVRX_SET_EVENT_INPUT input{(UINT64)(ULONG_PTR)event};
    return process.Run([&] {
        return plat::um::IoControl(device, IOCTL_TVRX_SET_EVENT, &input, sizeof input, nullptr, 0, nullptr);
    });
}

long ResidentKib()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace tvrx::bench
