/*
 * The default I/O queue and the I/O-control dispatcher with its handlers.
 */
#include "tvrx.h"
#include "trace.h"
#include "queue.tmh"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, TavrixQueueInitialize)
#endif

_Use_decl_annotations_
NTSTATUS
TavrixQueueInitialize(WDFDEVICE Device)
/*
 * Creates the device's default queue: parallel dispatch with no limit, so
 * I/O controls of all clients run at once. The queue handle is not kept.
 * PASSIVE_LEVEL; called by TavrixCreateDevice only.
 */
{
    PAGED_CODE();

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = TavrixEvtIoDeviceControl;
    queueConfig.EvtIoStop = TavrixEvtIoStop;

    WDFQUEUE queue;
    NTSTATUS status = WdfIoQueueCreate(Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "WdfIoQueueCreate failed %!STATUS!", status);
        return status;
    }
    return status;
}

_Use_decl_annotations_
VOID
TavrixEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                         ULONG IoControlCode)
/*
 * Refuses every request until the control interface's handlers are in place.
 * PASSIVE_LEVEL; called by the framework on the caller's thread.
 */
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_QUEUE,
                "%!FUNC! Queue %p, Request %p OutputBufferLength %d InputBufferLength %d IoControlCode 0x%x", Queue,
                Request, (int)OutputBufferLength, (int)InputBufferLength, IoControlCode);
    WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
}

_Use_decl_annotations_
VOID
TavrixEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
/*
 * Records the stop and does nothing else: every request is completed inside
 * TavrixEvtIoDeviceControl, so the one being stopped completes on its own.
 * <= DISPATCH_LEVEL; called by the framework when the queue stops.
 */
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_QUEUE, "%!FUNC! Queue %p, Request %p ActionFlags %d", Queue, Request,
                ActionFlags);
}
