/* WdfIoQueueCreate: queues as the driver configures them. */
#include "wdf/queue.h"

#include "base/bugcheck.h"
#include "base/fault.h"
#include "ntos/ke/irql.h"
#include "wdf/dispatch.h"

namespace plat::wdf {

FxQueue::FxQueue(FxDevice* device_, const WDF_IO_QUEUE_CONFIG& config_, const WDF_OBJECT_ATTRIBUTES* attributes)
    : FxObject(FxType::Queue, device_, attributes),
      device(device_),
      config(config_),
      powerManaged(config_.PowerManaged != WdfFalse)
{
}

void FxQueue::OnDelete()
{
    // Requests still in the driver complete first; callers still held are cancelled.
    StopQueue(this, WdfRequestStopActionPurge, true);
    if (device->defaultQueue == this) {
        device->defaultQueue = nullptr;
    }
}

}  // namespace plat::wdf

using namespace plat::wdf;

extern "C" {

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue)
{
    plat::RequirePassive(__func__);
    auto* device = ResolveAs<FxDevice>(Device, FxType::Device, __func__);
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        plat::WdfViolation("queue config", "WdfIoQueueCreate needs an initialised WDF_IO_QUEUE_CONFIG");
    }
    ValidateAttributes(QueueAttributes, __func__);
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
        QueueAttributes->ParentObject != Device) {
        plat::WdfViolation("queue attributes", "a queue's parent must be its device");
    }
    if (Config->DefaultQueue && device->defaultQueue != nullptr) {
        plat::WdfViolation("queue config", "the device already has a default queue");
    }
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    NTSTATUS status = plat::fault::Check("WdfIoQueueCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* queue = new FxQueue(device, *Config, QueueAttributes);
    status = Register(queue, QueueAttributes);
    if (!NT_SUCCESS(status)) {
        delete queue;
        return status;
    }
    if (Config->DefaultQueue) {
        device->defaultQueue = queue;
    }
    if (Queue != nullptr) {
        *Queue = static_cast<WDFQUEUE>(queue->handle);
    }
    return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    return static_cast<WDFDEVICE>(ResolveAs<FxQueue>(Queue, FxType::Queue, __func__)->device->handle);
}

}  // extern "C"
