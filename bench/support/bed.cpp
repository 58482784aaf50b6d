#include "support/bed.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "base/verifier.h"

namespace tvrx::bench {

bool SmokeRun() { return std::getenv("TVRX_BENCH_SMOKE") != nullptr; }

Bed::Bed(std::shared_ptr<plat::Firmware> firmware) : machine_(std::make_unique<plat::Machine>())
{
    if (firmware != nullptr) {
        machine_->SetFirmware(std::move(firmware));
    }
    host_ = std::make_unique<plat::Host>(*machine_);
}

Bed::~Bed()
{
    Unload();
    host_.reset();
    machine_.reset();
}

bool Bed::Unload()
{
    if (!host_->Loaded()) {
        return true;
    }
    plat::verifier::Report report = host_->Unload();
    if (!report.Clean()) {
        std::fprintf(stderr, "verifier at unload:\n%s\n", report.Text().c_str());
    }
    return report.Clean();
}

bool Bed::Boot()
{
    NTSTATUS status;
    try {
        status = host_->Load();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "load failed: %s\n", error.what());
        return false;
    }
    const char* step = "load";
    if (NT_SUCCESS(status)) {
        step = "device add";
        status = host_->AddBoundDevices();
    }
    if (NT_SUCCESS(status)) {
        step = "device start";
        status = host_->Start();
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "%s failed: 0x%08X\n", step, static_cast<unsigned>(status));
        return false;
    }
    return true;
}

std::wstring Bed::Path() const { return test::TavrixInterfacePath(); }

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
