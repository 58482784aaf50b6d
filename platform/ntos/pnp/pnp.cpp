/* The Plug and Play manager's and power manager's packets to device stacks. */
#include "ntos/pnp/pnp.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ntos/io/deviceinterface.h"
#include "ntos/ke/irql.h"
#include "ntos/ps/process.h"

namespace plat::pnp {
namespace {

// Builds the packet, sends it to the top of the stack and waits for it.
NTSTATUS Send(io::DeviceObject* physical, UCHAR major, UCHAR minor, ULONG powerType, ULONG powerState)
{
    RequirePassive(major == io::kMjPnp ? "IRP_MJ_PNP" : "IRP_MJ_POWER");
    // Plug and Play and power packets come from system threads.
    ProcessScope system(ProcessTable::Current().System());
    io::Irp* irp = io::IoAllocateIrp(0, KernelMode);
    irp->major = major;
    irp->minor = minor;
    irp->power = {powerType, powerState};
    // A packet no driver handles comes back as the bus driver leaves it.
    irp->status = STATUS_NOT_SUPPORTED;
    if (io::IoCallDriver(io::IoGetAttachedDevice(physical), irp) == STATUS_PENDING) {
        io::WaitForIrp(irp);
    }
    NTSTATUS status = irp->status;
    io::IoFreeIrp(irp);
    return status;
}

struct Forwarded {
    std::mutex lock;
    std::condition_variable back;
    bool done = false;
};

NTSTATUS OnForwardedComplete(io::DeviceObject*, io::Irp*, void* context)
{
    auto* forwarded = static_cast<Forwarded*>(context);
    std::lock_guard<std::mutex> guard(forwarded->lock);
    forwarded->done = true;
    forwarded->back.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::atomic<TargetWatcher> g_targetWatcher{nullptr};

}  // namespace

void SetTargetWatcher(TargetWatcher watcher) { g_targetWatcher.store(watcher); }

bool NotifyTarget(io::DeviceObject* physical, TargetEvent event)
{
    TargetWatcher watcher = g_targetWatcher.load();
    return watcher == nullptr || watcher(physical, event);
}

NTSTATUS SendPnp(io::DeviceObject* physical, UCHAR minor) { return Send(physical, io::kMjPnp, minor, 0, 0); }

NTSTATUS SetSystemPower(io::DeviceObject* physical, ULONG systemState)
{
    return Send(physical, io::kMjPower, io::kMnSetPower, io::kSystemPowerState, systemState);
}

NTSTATUS PoRequestPowerIrp(io::DeviceObject* physical, ULONG deviceState)
{
    return Send(physical, io::kMjPower, io::kMnSetPower, io::kDevicePowerState, deviceState);
}

NTSTATUS ForwardAndWait(io::DeviceObject* lower, io::Irp* irp)
{
    if (lower == nullptr) {
        return irp->status;  // the bottom of the stack: nothing below answers
    }
    Forwarded forwarded;
    io::IoSetCompletionRoutine(irp, nullptr, OnForwardedComplete, &forwarded);
    io::IoCallDriver(lower, irp);
    std::unique_lock<std::mutex> lock(forwarded.lock);
    forwarded.back.wait(lock, [&] { return forwarded.done; });
    return irp->status;
}

}  // namespace plat::pnp
