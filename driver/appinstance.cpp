/*
 * App instances: one node per open handle on the device, in a list of the
 * device context guarded by AppInstanceListLock; and the client event that
 * each instance registers.
 */
#include "tvrx.h"
#include "trace.h"
#include "appinstance.tmh"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, TvrxEvtAppDeviceFileCreate)
#pragma alloc_text(PAGE, TvrxEvtAppFileClose)
#endif

_Use_decl_annotations_
VOID
TvrxEvtAppDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
/*
 * Admits a new client only while the hardware is prepared, and gives it an
 * app instance.
 * PASSIVE_LEVEL; called by the framework for each open of the device.
 */
{
    PAGED_CODE();

    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);
    ULONG deviceState = ReadULongNoFence(&context->DeviceState);
    if (deviceState != TVRX_DEVICE_STATE_PREPARED) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_STATE);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! device not prepared (state %u) %!STATUS!", deviceState,
                    STATUS_INVALID_DEVICE_STATE);
        return;
    }

    NTSTATUS status = TvrxAddAppInstanceToList(Device, FileObject);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no app instance %!STATUS!", status);
    }
    WdfRequestComplete(Request, status);
}

_Use_decl_annotations_
VOID
TvrxEvtAppFileClose(WDFFILEOBJECT FileObject)
/*
 * Removes the client's app instance. No event is set at close.
 * PASSIVE_LEVEL; called by the framework after the last request of the handle completed.
 */
{
    PAGED_CODE();

    NTSTATUS status = TvrxRemoveAppInstanceFromList(FileObject);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %!STATUS!", status);
    }
}

_Use_decl_annotations_
PTVRX_APP_INSTANCE_NODE
TvrxGetNewListNode(WDFDEVICE Device, WDFFILEOBJECT FileObject)
/*
 * Allocates an unlinked node for the file object; the caller owns it until
 * it is linked. The memory object is kept in the node so that freeing the
 * node is deleting it.
 * PASSIVE_LEVEL; called by TvrxAddAppInstanceToList.
 */
{
    UNREFERENCED_PARAMETER(Device);

    WDFMEMORY memory;
    PVOID buffer;
    NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, sizeof(TVRX_APP_INSTANCE_NODE),
                                      &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfMemoryCreate failed %!STATUS!", status);
        return NULL;
    }

    PTVRX_APP_INSTANCE_NODE node = (PTVRX_APP_INSTANCE_NODE)buffer;
    RtlZeroMemory(node, sizeof(*node));
    node->FileObject = FileObject;
    node->ClientEvent = NULL;
    node->NodeMemory = memory;
    return node;
}

_Use_decl_annotations_
NTSTATUS
TvrxAddAppInstanceToList(WDFDEVICE Device, WDFFILEOBJECT FileObject)
/*
 * Creates the node of a newly opened handle and links it at the head.
 * PASSIVE_LEVEL; called by TvrxEvtAppDeviceFileCreate.
 */
{
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    PTVRX_APP_INSTANCE_NODE node = TvrxGetNewListNode(Device, FileObject);
    if (node == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no memory for file object %p", FileObject);
        return STATUS_UNSUCCESSFUL;
    }

    WdfSpinLockAcquire(context->AppInstanceListLock);
    InsertHeadList(&context->AppInstanceListHead, &node->ListEntry);
    WdfSpinLockRelease(context->AppInstanceListLock);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
PTVRX_APP_INSTANCE_NODE
TvrxSearchObjInstance(WDFFILEOBJECT FileObject)
/*
 * Finds the node of a file object. The node stays valid while the caller
 * handles a request of that file object: the framework closes a file object
 * only after all of its requests completed.
 * <= DISPATCH_LEVEL; called by the event registration.
 */
{
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(WdfFileObjectGetDevice(FileObject));
    PTVRX_APP_INSTANCE_NODE found = NULL;

    WdfSpinLockAcquire(context->AppInstanceListLock);
    if (IsListEmpty(&context->AppInstanceListHead)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no app instances");
    } else {
        for (PLIST_ENTRY entry = context->AppInstanceListHead.Flink; entry != &context->AppInstanceListHead;
             entry = entry->Flink) {
            PTVRX_APP_INSTANCE_NODE node = CONTAINING_RECORD(entry, TVRX_APP_INSTANCE_NODE, ListEntry);
            if (node->FileObject == FileObject) {
                found = node;
                break;
            }
        }
    }
    WdfSpinLockRelease(context->AppInstanceListLock);
    return found;
}

_Use_decl_annotations_
NTSTATUS
TvrxRemoveAppInstanceFromList(WDFFILEOBJECT FileObject)
/*
 * Unlinks and frees the node of a closed handle, releasing its event
 * reference. The reference and the node are released after the lock.
 * PASSIVE_LEVEL; called by TvrxEvtAppFileClose.
 */
{
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(WdfFileObjectGetDevice(FileObject));
    PTVRX_APP_INSTANCE_NODE found = NULL;

    WdfSpinLockAcquire(context->AppInstanceListLock);
    for (PLIST_ENTRY entry = context->AppInstanceListHead.Flink; entry != &context->AppInstanceListHead;
         entry = entry->Flink) {
        PTVRX_APP_INSTANCE_NODE node = CONTAINING_RECORD(entry, TVRX_APP_INSTANCE_NODE, ListEntry);
        if (node->FileObject == FileObject) {
            RemoveEntryList(&node->ListEntry);
            found = node;
            break;
        }
    }
    WdfSpinLockRelease(context->AppInstanceListLock);

    if (found != NULL) {
        if (found->ClientEvent != NULL) {
            ObDereferenceObject(found->ClientEvent);
        }
        WdfObjectDelete(found->NodeMemory);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- client events

_Use_decl_annotations_
VOID
TavrixEvtIoInCallerContext(WDFDEVICE Device, WDFREQUEST Request)
/*
 * Resolves the event handle of an event registration in the client's own
 * process and keeps the referenced event in the request's context, then
 * gives every request to the default queue. A queued request may be
 * presented later on a system thread (after a resume), where the client's
 * handle means nothing. A registration whose handle is refused still goes on
 * to its handler, which reports the failure as before. A request the queue
 * refuses (a removed or failed device) is completed with
 * STATUS_INVALID_DEVICE_STATE.
 * PASSIVE_LEVEL, in the requesting thread; called by the framework for every device control.
 */
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    if (parameters.Type == WdfRequestTypeDeviceControl &&
        parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_TVRX_SET_EVENT &&
        WdfRequestGetRequestorMode(Request) == UserMode) {
        TvrxGetRequestContext(Request)->ClientEvent = TvrxGetEventFromRequest(Request);
    }

    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "%!FUNC! WdfDeviceEnqueueRequest failed %!STATUS!", status);
        // The queue takes no more requests: the device was removed or failed,
        // for good. "Busy" would invite the client to retry, so it hears what
        // a device out of service answers.
        WdfRequestComplete(Request, status == STATUS_WDF_BUSY ? STATUS_INVALID_DEVICE_STATE : status);
    }
}

_Use_decl_annotations_
VOID
TavrixEvtRequestCleanup(WDFOBJECT Object)
/*
 * Releases an event that a registration resolved but its handler never took
 * (the request was cancelled or refused on the way).
 * <= DISPATCH_LEVEL; called by the framework when a request of the device is freed.
 */
{
    PTVRX_REQUEST_CONTEXT requestContext = TvrxGetRequestContext((WDFREQUEST)Object);
    if (requestContext->ClientEvent != NULL) {
        ObDereferenceObject(requestContext->ClientEvent);
        requestContext->ClientEvent = NULL;
    }
}

_Use_decl_annotations_
NTSTATUS
TvrxModifyClientEventList(WDFREQUEST Request)
/*
 * Attaches the event named by the request to the caller's app instance,
 * replacing any event registered before. A failed registration leaves the
 * instance without an event, so a client whose new handle was refused is not
 * woken through a stale one. The reference is taken before the lock and the
 * replaced one released after it: neither may happen at DISPATCH_LEVEL.
 * The instance stays valid meanwhile because its file object cannot be
 * closed while this request is in progress.
 * PASSIVE_LEVEL, in the requesting process; called by TvrxHandleIoctlSetEvent.
 */
{
    WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
    PTVRX_APP_INSTANCE_NODE instance = fileObject != NULL ? TvrxSearchObjInstance(fileObject) : NULL;
    if (instance == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no app instance for file object %p %!STATUS!",
                    fileObject, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }

    // The event was resolved in the client's process before the request was queued.
    PTVRX_REQUEST_CONTEXT requestContext = TvrxGetRequestContext(Request);
    PKEVENT event = requestContext->ClientEvent;
    requestContext->ClientEvent = NULL;

    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(WdfFileObjectGetDevice(fileObject));
    WdfSpinLockAcquire(context->AppInstanceListLock);
    PKEVENT previousEvent = instance->ClientEvent;
    instance->ClientEvent = event;
    WdfSpinLockRelease(context->AppInstanceListLock);

    if (previousEvent != NULL) {
        ObDereferenceObject(previousEvent);
    }

    if (event == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! file object %p left without an event %!STATUS!",
                    fileObject, STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! file object %p registered event %p", fileObject,
                event);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
PKEVENT
TvrxGetEventFromRequest(WDFREQUEST Request)
/*
 * Resolves the 64-bit event handle at the start of the input buffer in the
 * requesting process and returns the event with one reference, or NULL.
 * Resolving it as a user-mode caller makes the object manager refuse kernel
 * handles and handles that lack the right to set or to wait on the event.
 * PASSIVE_LEVEL, in the requesting process; called by TavrixEvtIoInCallerContext.
 */
{
    PVOID inputBuffer;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG64), &inputBuffer, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! WdfRequestRetrieveInputBuffer failed %!STATUS!",
                    status);
        return NULL;
    }

    ULONG64 handleValue;
    RtlCopyMemory(&handleValue, inputBuffer, sizeof(handleValue));

    PVOID object = NULL;
    // A handle travels in the buffer as a 64-bit integer; HANDLE is its kernel type.
    HANDLE handle = (HANDLE)(ULONG_PTR)handleValue;  // NOLINT(performance-no-int-to-ptr)
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE | EVENT_MODIFY_STATE,
                                       *ExEventObjectType, UserMode, &object, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! handle 0x%I64x refused %!STATUS!", handleValue,
                    status);
        return NULL;
    }
    return (PKEVENT)object;
}
