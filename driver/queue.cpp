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
 * Serves the four I/O controls of user-mode clients and refuses everything
 * else. Every request is completed before this returns: the data queries
 * complete their own, the dispatcher completes the rest with information 0.
 * The buffer lengths are not judged here; each handler retrieves its buffers
 * with the minimum size it needs.
 * PASSIVE_LEVEL; called by the framework on the client's thread, possibly on
 * several threads at once (parallel queue).
 */
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_QUEUE,
                "%!FUNC! Entry Queue %p, Request %p OutputBufferLength %Iu InputBufferLength %Iu IoControlCode 0x%x",
                Queue, Request, OutputBufferLength, InputBufferLength, IoControlCode);

    // Only user-mode clients are served: a kernel-mode sender could pass a
    // kernel handle as its event, and the interface is not meant for drivers.
    if (WdfRequestGetRequestorMode(Request) != UserMode) {
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "%!FUNC! request %p not from user mode (code 0x%x) %!STATUS!",
                    Request, IoControlCode, STATUS_UNSUCCESSFUL);
        return;
    }

    NTSTATUS status;
    switch (IoControlCode) {
    case IOCTL_TVRX_SET_REGULATORY_TYPE:
        status = TvrxSetRegulatoryType(Request);
        WdfRequestComplete(Request, status);
        break;

    case IOCTL_TVRX_GET_DEVICE_MODE_ENTRY:
        (VOID) TvrxHandleIoctlGetDeviceModeEntry(Queue, Request, OutputBufferLength);
        break;

    case IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO:
        (VOID) TvrxHandleIoctlGetDeviceModeTableInfo(Request);
        break;

    case IOCTL_TVRX_SET_EVENT:
        status = TvrxHandleIoctlSetEvent(Request);
        WdfRequestComplete(Request, status);
        break;

    default:
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "%!FUNC! unknown IoControlCode 0x%x %!STATUS!", IoControlCode,
                    STATUS_UNSUCCESSFUL);
        WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
        break;
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_QUEUE, "%!FUNC! Exit");
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

// ---------------------------------------------------------------- handlers

static PTVRX_DEVICE_CONTEXT
TvrxGetRequestDeviceContext(_In_ WDFREQUEST Request)
/*
 * The context of the device whose default queue presented the request.
 * <= DISPATCH_LEVEL; called by the handlers below.
 */
{
    return TvrxGetDeviceContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(Request)));
}

_Use_decl_annotations_
NTSTATUS
TvrxSetRegulatoryType(WDFREQUEST Request)
/*
 * Sets the regulatory type (0, 1 or 2), which selects the device-mode table
 * that answers the entry query, and wakes every client when it changed.
 * The type sets the power limits of every client, so only a sender whose
 * handle was granted write access may change it (the code itself asks for
 * no access): any other gets STATUS_ACCESS_DENIED and nothing changes.
 * The exchange is atomic and each caller compares with the value its own
 * exchange replaced, so every change is followed by a signal however
 * concurrent setters interleave. Does not complete the request.
 * PASSIVE_LEVEL; called by TavrixEvtIoDeviceControl.
 */
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");

    NTSTATUS status = IoValidateDeviceIoControlAccess(WdfRequestWdmGetIrp(Request), FILE_WRITE_ACCESS);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! handle not opened for writing %!STATUS!", status);
        return status;
    }

    PTVRX_DEVICE_CONTEXT context = TvrxGetRequestDeviceContext(Request);

    PVOID inputBuffer;
    status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &inputBuffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfRequestRetrieveInputBuffer failed %!STATUS!",
                    status);
        return status;
    }

    ULONG newType;
    RtlCopyMemory(&newType, inputBuffer, sizeof(newType));
    if (newType >= TVRX_REGULATORY_TYPE_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! regulatory type %u refused (current %u) %!STATUS!",
                    newType, ReadULongNoFence(&context->RegulatoryType), STATUS_INVALID_USER_BUFFER);
        return STATUS_INVALID_USER_BUFFER;
    }

    ULONG previousType = (ULONG)InterlockedExchange((LONG volatile*)&context->RegulatoryType, (LONG)newType);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! regulatory type %u (was %u)", newType,
                previousType);

    if (newType != previousType) {
        status = TvrxSignalDeviceModeChange(context);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! TvrxSignalDeviceModeChange failed %!STATUS!",
                        status);
        }
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxHandleIoctlGetDeviceModeEntry(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength)
/*
 * Returns the device-mode table entry for the current device mode in the
 * table of the current regulatory type, or entry 0 of table 0 when that
 * table has no usable entry for the mode. Both values are read once, so the
 * table searched is the table answered from and the mode matched is the
 * mode reported, whatever a notification or a setter does meanwhile.
 * Completes the request on every path and returns its status.
 * PASSIVE_LEVEL; called by TavrixEvtIoDeviceControl.
 */
{
    // The device comes from the request and the length from the framework's
    // retrieval, which checks it against the real buffer.
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");

    PTVRX_DEVICE_CONTEXT context = TvrxGetRequestDeviceContext(Request);
    ULONG regulatoryType = ReadULongNoFence(&context->RegulatoryType);
    ULONG deviceMode = ReadULongNoFence(&context->CurrentDeviceMode);

    PVOID outputBuffer;
    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(Request, sizeof(TVRX_DEVICE_MODE_ENTRY_INFO), &outputBuffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfRequestRetrieveOutputBuffer failed %!STATUS!",
                    status);
        WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }

    // RegulatoryType only ever holds 0, 1 or 2; anything else is searched as
    // an empty table rather than indexing past the three.
    const TVRX_DEVICE_MODE_TABLE* table = NULL;
    ULONG searchCount = 0;
    if (regulatoryType < TVRX_DEVICE_MODE_TABLE_COUNT_MAX) {
        table = &context->DeviceModeTables[regulatoryType];
        // Read once: the bound checked is the bound searched.
        ULONG entryCount = ReadULongNoFence(&table->EntryCount);
        searchCount = entryCount < TVRX_DEVICE_MODE_ENTRIES_MAX ? entryCount : TVRX_DEVICE_MODE_ENTRIES_MAX;
    }

    BOOLEAN matched = FALSE;
    ULONG matchIndex = 0;
    for (ULONG i = 0; i < searchCount; i++) {
        if ((ULONG)table->Entries[i].DeviceMode == deviceMode) {
            matched = TRUE;
            matchIndex = i;
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! device mode %u is entry %u of table %u",
                        deviceMode, i, regulatoryType);
            break;
        }
    }

    WDFMEMORY scratchMemory;
    PVOID scratch;
    status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, sizeof(TVRX_DEVICE_MODE_ENTRY_INFO),
                             &scratchMemory, &scratch);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfMemoryCreate failed %!STATUS!", status);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return status;
    }
    PTVRX_DEVICE_MODE_ENTRY_INFO info = (PTVRX_DEVICE_MODE_ENTRY_INFO)scratch;
    RtlZeroMemory(info, sizeof(*info));

    const TVRX_DEVICE_MODE_ENTRY* entry;
    ULONG answeringTable;
    if (matched && deviceMode <= TVRX_DEVICE_MODE_MATCH_MAX && deviceMode <= (ULONG)table->MaxDeviceMode) {
        entry = &table->Entries[matchIndex];
        answeringTable = regulatoryType;
    } else {
        entry = &context->DeviceModeTables[0].Entries[0];
        answeringTable = 0;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "%!FUNC! no entry for device mode %u in table %u, answering with entry 0 of table 0", deviceMode,
                    regulatoryType);
    }

    info->DeviceMode = entry->DeviceMode;
    info->Value1 = entry->Value1;
    info->Value2 = entry->Value2;
    info->Value3 = entry->Value3;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                "%!FUNC! table %u device mode %u values 0x%x 0x%x 0x%x", answeringTable, info->DeviceMode,
                info->Value1, info->Value2, info->Value3);

    RtlCopyMemory(outputBuffer, info, sizeof(*info));
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(*info));
    WdfObjectDelete(scratchMemory);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxHandleIoctlGetDeviceModeTableInfo(WDFREQUEST Request)
/*
 * Returns the tag and entry count of the table the caller names. Input and
 * output share the request's one system buffer, so the table index is read
 * in full before the output is retrieved or written.
 * Completes the request on every path and returns its status.
 * PASSIVE_LEVEL; called by TavrixEvtIoDeviceControl.
 */
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");

    PTVRX_DEVICE_CONTEXT context = TvrxGetRequestDeviceContext(Request);

    PVOID inputBuffer;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &inputBuffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfRequestRetrieveInputBuffer failed %!STATUS!",
                    status);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return status;
    }

    ULONG tableIndex;
    RtlCopyMemory(&tableIndex, inputBuffer, sizeof(tableIndex));
    if (tableIndex >= TVRX_DEVICE_MODE_TABLE_COUNT_MAX) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table index %u refused %!STATUS!", tableIndex,
                    STATUS_UNSUCCESSFUL);
        WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }

    PVOID outputBuffer;
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(TVRX_DEVICE_MODE_TABLE_INFO), &outputBuffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfRequestRetrieveOutputBuffer failed %!STATUS!",
                    status);
        WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }

    if (!ReadBooleanNoFence(&context->DeviceModeTablesValid)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no device-mode table read yet %!STATUS!",
                    STATUS_UNSUCCESSFUL);
        WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }

    WDFMEMORY scratchMemory;
    PVOID scratch;
    status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, sizeof(TVRX_DEVICE_MODE_TABLE_INFO),
                             &scratchMemory, &scratch);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfMemoryCreate failed %!STATUS!", status);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return status;
    }

    const TVRX_DEVICE_MODE_TABLE* table = &context->DeviceModeTables[tableIndex];
    PTVRX_DEVICE_MODE_TABLE_INFO info = (PTVRX_DEVICE_MODE_TABLE_INFO)scratch;
    info->TableTag = table->TableTag;
    info->EntryCount = table->EntryCount;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! table %u tag %u entry count %u", tableIndex,
                info->TableTag, info->EntryCount);

    RtlCopyMemory(outputBuffer, info, sizeof(*info));
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(*info));
    WdfObjectDelete(scratchMemory);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxHandleIoctlSetEvent(WDFREQUEST Request)
/*
 * Registers the caller's event for device-mode change signals. Runs in the
 * caller's context, where the event handle means something. Does not
 * complete the request.
 * PASSIVE_LEVEL; called by TavrixEvtIoDeviceControl.
 */
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");

    NTSTATUS status = TvrxModifyClientEventList(Request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! TvrxModifyClientEventList failed %!STATUS!", status);
    }

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;
}
