/* WdfDeviceGetIoTarget and WdfIoTargetSendIoctlSynchronously. */
#include "wdf/iotarget.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "base/bugcheck.h"
#include "base/fault.h"
#include "machine/hardware.h"
#include "ntos/io/irp.h"
#include "ntos/ke/irql.h"
#include "wdf/memory.h"

namespace plat::wdf {
namespace {

std::mutex g_targetLock;  // creation of local targets

constexpr ULONG kKnownSendFlags = WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE |
                                  WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET |
                                  WDF_REQUEST_SEND_OPTION_IMPERSONATE_CLIENT;

struct Span {
    PVOID buffer = nullptr;
    size_t length = 0;
};

// The memory a descriptor names. A handle's offsets select a part of the
// memory object; a BufferLength of 0 means up to its end.
NTSTATUS ResolveDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, Span* span, const char* routine)
{
    *span = Span();
    if (descriptor == nullptr) {
        return STATUS_SUCCESS;
    }
    switch (descriptor->Type) {
    case WdfMemoryDescriptorTypeBuffer:
        if (descriptor->u.BufferType.Buffer == nullptr && descriptor->u.BufferType.Length != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        span->buffer = descriptor->u.BufferType.Buffer;
        span->length = descriptor->u.BufferType.Length;
        return STATUS_SUCCESS;
    case WdfMemoryDescriptorTypeHandle: {
        auto* memory = ResolveAs<FxMemory>(descriptor->u.HandleType.Memory, FxType::Memory, routine);
        size_t offset = 0;
        size_t length = memory->size;
        if (const WDFMEMORY_OFFSET* offsets = descriptor->u.HandleType.Offsets) {
            if (offsets->BufferOffset > memory->size ||
                offsets->BufferLength > memory->size - offsets->BufferOffset) {
                return STATUS_INVALID_BUFFER_SIZE;
            }
            offset = offsets->BufferOffset;
            length = offsets->BufferLength != 0 ? offsets->BufferLength : memory->size - offset;
        }
        span->buffer = static_cast<uint8_t*>(memory->buffer) + offset;
        span->length = length;
        return STATUS_SUCCESS;
    }
    case WdfMemoryDescriptorTypeMdl:
        return STATUS_NOT_SUPPORTED;  // this machine has no MDLs
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS ValidateSendOptions(const WDF_REQUEST_SEND_OPTIONS* options)
{
    if (options == nullptr) {
        return STATUS_SUCCESS;
    }
    if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if ((options->Flags & ~kKnownSendFlags) != 0 || (options->Flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) {
        return STATUS_INVALID_PARAMETER;  // a synchronous send cannot be forgotten
    }
    return STATUS_SUCCESS;
}

// The machine time at which the request is cancelled: a negative time-out is
// relative, a positive one an absolute machine time (one already past expires
// at once). A time-out of 0 is no time-out (KMDF starts no timer for it), so
// callers ask timed() first.
bool Timed(const WDF_REQUEST_SEND_OPTIONS* options)
{
    return options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && options->Timeout != 0;
}

LONGLONG Deadline(const WDF_REQUEST_SEND_OPTIONS& options, LONGLONG now)
{
    LONGLONG timeout = options.Timeout;
    if (timeout > 0) {
        return timeout;
    }
    return timeout == LLONG_MIN || now > LLONG_MAX + timeout ? LLONG_MAX : now - timeout;
}

// Counts a packet as sent on the target; false when the target no longer takes requests.
bool BeginSend(FxIoTarget* target, io::Irp* irp)
{
    std::lock_guard<std::mutex> guard(target->lock);
    if (target->removed || target->device->pnpState.load() == PnpState::Removed) {
        return false;
    }
    target->sent.push_back(irp);
    return true;
}

void EndSend(FxIoTarget* target, io::Irp* irp)
{
    std::lock_guard<std::mutex> guard(target->lock);
    target->sent.erase(std::remove(target->sent.begin(), target->sent.end(), irp), target->sent.end());
    target->idle.notify_all();
}

}  // namespace

FxIoTarget::FxIoTarget(FxDevice* device_) : FxObject(FxType::IoTarget, device_, nullptr), device(device_) {}

// The target goes with its device: it takes no new requests, cancels those it
// has sent and waits until they are back (a driver below that does not honour
// the cancellation keeps the deletion waiting until it completes them).
void FxIoTarget::OnDelete()
{
    {
        std::unique_lock<std::mutex> guard(lock);
        removed = true;
        for (io::Irp* irp : sent) {
            io::IoCancelIrp(irp);  // completion takes no lock of the target
        }
        idle.wait(guard, [this] { return sent.empty(); });
    }
}

// Until its device is destroyed, the device's target is the removed one (a
// work item still running sends through it and is refused).
FxIoTarget::~FxIoTarget()
{
    std::lock_guard<std::mutex> guard(g_targetLock);
    if (device->ioTarget == this) {
        device->ioTarget = nullptr;
    }
}

FxIoTarget* LocalIoTarget(FxDevice* device)
{
    std::lock_guard<std::mutex> guard(g_targetLock);
    if (device->ioTarget == nullptr) {
        auto* target = new FxIoTarget(device);
        if (!NT_SUCCESS(Register(target, nullptr))) {
            delete target;
            return nullptr;
        }
        device->ioTarget = target;
    }
    return device->ioTarget;
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    auto* device = ResolveAs<FxDevice>(Device, FxType::Device, __func__);
    FxIoTarget* target = LocalIoTarget(device);
    return target ? static_cast<WDFIOTARGET>(target->handle) : nullptr;
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned)
{
    plat::RequirePassive(__func__);
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    auto* target = ResolveAs<FxIoTarget>(IoTarget, FxType::IoTarget, __func__);
    if (Request != nullptr) {
        Resolve(Request, FxType::Request, __func__);
    }
    NTSTATUS status = ValidateSendOptions(RequestOptions);
    Span input, output;
    if (NT_SUCCESS(status)) {
        status = ResolveDescriptor(InputBuffer, &input, __func__);
    }
    if (NT_SUCCESS(status)) {
        status = ResolveDescriptor(OutputBuffer, &output, __func__);
    }
    if (NT_SUCCESS(status) && (input.length > ULONG_MAX || output.length > ULONG_MAX)) {
        status = STATUS_INVALID_BUFFER_SIZE;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = plat::fault::Check("WdfIoTargetSendIoctlSynchronously");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    plat::io::DeviceObject* below = target->device->deviceObject.lower;
    if (below == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    plat::Clock& clock = plat::Hardware::Current().Clock();
    LONGLONG deadline = 0;
    bool timed = Timed(RequestOptions);
    if (timed) {
        deadline = Deadline(*RequestOptions, clock.Now());
    }

    // The framework formats a packet of its own for the device below: a
    // buffered device control from kernel mode.
    plat::io::Irp* irp = plat::io::IoAllocateIrp(std::max(input.length, output.length), KernelMode);
    irp->major = plat::io::kMjDeviceControl;
    irp->ioControlCode = IoctlCode;
    irp->inputLength = static_cast<ULONG>(input.length);
    irp->outputLength = static_cast<ULONG>(output.length);
    if (input.length != 0) {
        std::memcpy(irp->systemBuffer, input.buffer, input.length);
    }
    if (!BeginSend(target, irp)) {
        plat::io::IoFreeIrp(irp);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (plat::io::IoCallDriver(below, irp) == STATUS_PENDING &&
        !plat::io::WaitForIrp(irp, &clock, timed ? &deadline : nullptr)) {
        // The time-out expired: the request is cancelled, and the send still
        // waits for it to complete, however long the driver below takes. Only
        // a request that completes as cancelled makes the send report the
        // time-out (KMDF changes STATUS_CANCELLED into STATUS_IO_TIMEOUT and
        // leaves Information as it came back).
        plat::io::IoCancelIrp(irp);
        plat::io::WaitForIrp(irp);
        if (irp->status == STATUS_CANCELLED) {
            irp->status = STATUS_IO_TIMEOUT;
        }
    }
    EndSend(target, irp);

    // The I/O manager copies back what the device below reported for a success
    // or a warning (STATUS_BUFFER_OVERFLOW), never more than the output buffer.
    status = irp->status;
    size_t information = irp->information;
    if (!NT_ERROR(status) && information != 0 && output.buffer != nullptr) {
        std::memcpy(output.buffer, irp->systemBuffer, std::min(information, output.length));
    }
    if (BytesReturned != nullptr) {
        *BytesReturned = information;
    }
    plat::io::IoFreeIrp(irp);
    return status;
}

}  // extern "C"
