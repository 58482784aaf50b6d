/*
 * The device: creation and context, Plug and Play and power callbacks, ACPI
 * device-mode notifications, _DSM evaluation, device-mode tables, response
 * processing, the SAR table export, its registry state, and the signalling of
 * client events.
 */
#include <initguid.h>  // this unit defines the interface GUIDs it uses
#include <ntifs.h>     // the rename record of the SAR export
#include "tvrx.h"
#include <wdmguid.h>
#include "trace.h"
#include "device.tmh"

// Turns one _DSM result into device state; the response processing's one body.
static NTSTATUS TvrxProcessDsmResult(_In_ WDFDEVICE Device, _In_ LONG FunctionIndex, _In_ LONG TableIndex,
                                     _In_opt_ WDFMEMORY ResponseMemory, _In_opt_ const LONG* Ticket);

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, TavrixCreateDevice)
#pragma alloc_text(PAGE, TvrxWdfEvtDevicePrepareHardware)
#pragma alloc_text(PAGE, AcpiTvrxNotificationWorker)
#pragma alloc_text(PAGE, TvrxEvaluateDeviceModeDsm)
#pragma alloc_text(PAGE, TvrxEvaluateDsmFunction)
#pragma alloc_text(PAGE, TvrxReadDeviceMode)
#pragma alloc_text(PAGE, TvrxParseDeviceModeInfoFromBuf)
#pragma alloc_text(PAGE, TvrxDsmReadTable)
#pragma alloc_text(PAGE, TvrxProcessDsmResponseBuffer)
#pragma alloc_text(PAGE, TvrxProcessDsmResult)
#pragma alloc_text(PAGE, TvrxExportBiosSarTable)
#pragma alloc_text(PAGE, TvrxCreateDirectory)
#pragma alloc_text(PAGE, TvrxReadPhysicalMemory)
#pragma alloc_text(PAGE, TvrxIsBiosSarUpdateNeeded)
#pragma alloc_text(PAGE, TvrxWriteParameterValue)
#pragma alloc_text(PAGE, TvrxReadParameterString)
#pragma alloc_text(PAGE, TvrxFreeParameterString)
#pragma alloc_text(PAGE, TvrxQueryRegistryString)
#endif

// ---------------------------------------------------------------- device creation

static NTSTATUS TvrxCreateNotifyGate(_In_ WDFDEVICE Device, _Inout_ PTVRX_DEVICE_CONTEXT Context);

_Use_decl_annotations_
NTSTATUS
TavrixCreateDevice(PWDFDEVICE_INIT DeviceInit)
/*
 * Creates the device with its context, publishes the device interface,
 * creates the default queue, the app-instance and mode-read locks and the
 * notification gate, and empties the list. Only a failure of the device, of a
 * lock or of the gate fails the add: a device without interface or queue
 * still starts and exports its tables.
 * PASSIVE_LEVEL; called by TavrixEvtDeviceAdd only.
 */
{
    PAGED_CODE();

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDevicePrepareHardware = TvrxWdfEvtDevicePrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = TvrxWdfEvtDeviceReleaseHardware;
    pnpPowerCallbacks.EvtDeviceD0Entry = TvrxWdfEvtDeviceD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = TvrxWdfEvtDeviceD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, TvrxEvtAppDeviceFileCreate, TvrxEvtAppFileClose, WDF_NO_EVENT_CALLBACK);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    // A request may wait in the power-managed queue and reach the driver on a
    // system thread: what needs the client's process is done before it is queued.
    WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, TavrixEvtIoInCallerContext);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, TVRX_REQUEST_CONTEXT);
    requestAttributes.EvtCleanupCallback = TavrixEvtRequestCleanup;
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, TVRX_DEVICE_CONTEXT);

    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(device);

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_TAVRIX, NULL);
    if (NT_SUCCESS(status)) {
        status = TavrixQueueInitialize(device);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "TavrixQueueInitialize failed %!STATUS!", status);
        }
    }

    status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &context->AppInstanceListLock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WdfSpinLockCreate failed %!STATUS!", status);
        return status;
    }
    // Parented to the driver as the list lock is: the device's last work item may run while it is deleted.
    status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &context->ModeReadLock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "mode-read WdfSpinLockCreate failed %!STATUS!", status);
    }

    InitializeListHead(&context->AppInstanceListHead);
    if (NT_SUCCESS(status)) {
        status = TvrxCreateNotifyGate(device, context);
    }
    return status;
}

static NTSTATUS
TvrxCreateNotifyGate(_In_ WDFDEVICE Device, _Inout_ PTVRX_DEVICE_CONTEXT Context)
/*
 * Creates the gate of the device's notification handler, closed, and puts it
 * on the driver's list of gates: a late call of the ACPI driver may reach it
 * after the device is deleted, so it is freed only at unload (see
 * TVRX_NOTIFY_GATE).
 * PASSIVE_LEVEL; called by TavrixCreateDevice.
 */
{
    // ExAllocatePoolWithTag, not ExAllocatePool2: the INF installs on Windows 10 1709.
    PTVRX_NOTIFY_GATE gate =
        (PTVRX_NOTIFY_GATE)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TVRX_NOTIFY_GATE), TVRX_POOL_TAG);
    if (gate == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "no memory for the notification gate");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(gate, sizeof(*gate));
    gate->Device = Device;
    KeInitializeEvent(&gate->CallsDone, NotificationEvent, FALSE);
    PTVRX_NOTIFY_GATE head;
    do {
        head = TvrxNotifyGates;  // the exchange below checks it is still the head
        gate->Next = head;
    } while (InterlockedCompareExchangePointer((PVOID volatile*)&TvrxNotifyGates, gate, head) != head);
    Context->NotifyGate = gate;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- client signalling

static FORCEINLINE VOID
TvrxPrefetchNextInstance(_In_ const LIST_ENTRY* Entry, _In_ const LIST_ENTRY* Head)
/*
 * Asks the processor for the next instance's event and for the node after it
 * while the walk still signals this one. Nodes and clients' events lie
 * wherever their opens put them, so without this a walk over thousands of
 * clients would wait on memory at every step. Only reads the next node, which
 * the previous step asked for.
 * <= DISPATCH_LEVEL; called by the walk under the instance list lock.
 */
{
    PLIST_ENTRY next = Entry->Flink;
    if (next == Head) {
        return;
    }
    PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, next->Flink);
    PKEVENT event = CONTAINING_RECORD(next, TVRX_APP_INSTANCE_NODE, ListEntry)->ClientEvent;
    if (event != NULL) {
        PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, event);
    }
}

_Use_decl_annotations_
NTSTATUS
TvrxSignalDeviceModeChange(PTVRX_DEVICE_CONTEXT DeviceContext)
/*
 * Sets the event of every app instance that registered one, newest first.
 * The walk only sets events (KeSetEvent with Wait FALSE is allowed at
 * DISPATCH_LEVEL), so the lock is held for the whole walk and a closing
 * client can never have its node freed under it.
 * <= DISPATCH_LEVEL; called by the notification worker and the regulatory-type handler.
 */
{
    if (DeviceContext == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no device context");
        return STATUS_UNSUCCESSFUL;
    }

    WdfSpinLockAcquire(DeviceContext->AppInstanceListLock);
    if (IsListEmpty(&DeviceContext->AppInstanceListHead)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! no clients");
    } else {
        for (PLIST_ENTRY entry = DeviceContext->AppInstanceListHead.Flink; entry != &DeviceContext->AppInstanceListHead;
             entry = entry->Flink) {
            PTVRX_APP_INSTANCE_NODE node = CONTAINING_RECORD(entry, TVRX_APP_INSTANCE_NODE, ListEntry);
            TvrxPrefetchNextInstance(entry, &DeviceContext->AppInstanceListHead);
            if (node->ClientEvent != NULL) {
                KeSetEvent(node->ClientEvent, IO_NO_INCREMENT, FALSE);
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! set event %p of file object %p",
                            node->ClientEvent, node->FileObject);
            } else {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! file object %p has no event",
                            node->FileObject);
            }
        }
    }
    WdfSpinLockRelease(DeviceContext->AppInstanceListLock);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- Plug and Play and power

static VOID
TvrxReleaseAcpiInterface(_Inout_ PTVRX_DEVICE_CONTEXT Context)
/*
 * Gives back the reference that the interface query took, once. Every
 * prepare-hardware takes one; without this each stop and restart would leave
 * one behind in the ACPI driver.
 * PASSIVE_LEVEL; called from prepare-hardware's failure exit and release-hardware.
 */
{
    if (ReadBooleanNoFence(&Context->AcpiInterfaceAcquired)) {
        if (Context->AcpiInterface.InterfaceDereference != NULL) {
            Context->AcpiInterface.InterfaceDereference(Context->AcpiInterface.Context);
        }
        WriteBooleanNoFence(&Context->AcpiInterfaceAcquired, FALSE);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "ACPI standard interface given back");
    }
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
/*
 * Does the device's start-up work with the firmware: takes the ACPI standard
 * interface, checks _DSM support, reads the device mode and the three
 * device-mode tables, and exports the SAR table when the BIOS changed. Only
 * a complete preparation admits clients (DeviceState 1).
 * PASSIVE_LEVEL; called by the framework at device start, serialised with the
 * other Plug and Play and power callbacks.
 */
{
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    // The standard interface v2 is version 1; the WDK names no constant for it.
    NTSTATUS status = WdfFdoQueryForInterface(Device, &GUID_ACPI_INTERFACE_STANDARD2,
                                              (PINTERFACE)&context->AcpiInterface, sizeof(ACPI_INTERFACE_STANDARD2),
                                              1, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "ACPI interface query failed %!STATUS!", status);
        goto Failed;
    }
    WriteBooleanNoFence(&context->AcpiInterfaceAcquired, TRUE);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "ACPI standard interface acquired");

    status = TvrxEvaluateDsmFunction(Device, TVRX_DSM_FUNCTION_SUPPORTED_FUNCTIONS);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "_DSM supported functions failed %!STATUS!", status);
        goto Failed;
    }

    status = TvrxEvaluateDsmFunction(Device, TVRX_DSM_FUNCTION_DEVICE_MODE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "_DSM device mode failed %!STATUS!", status);
        goto Failed;
    }

    status = TvrxDsmReadTable(Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "device-mode table read failed %!STATUS!", status);
        goto Failed;
    }

    if (TvrxIsBiosSarUpdateNeeded(Device)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "BIOS changed: exporting the SAR table");
        NTSTATUS exportStatus = TvrxEvaluateDsmFunction(Device, TVRX_DSM_FUNCTION_BIOS_SAR_TABLE);
        if (!NT_SUCCESS(exportStatus)) {
            // The export is a service to other components; the device works without it.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "SAR table export failed %!STATUS!", exportStatus);
        }
    }

    WriteBooleanNoFence(&context->HardwarePrepared, TRUE);
    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_PREPARED);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;

Failed:
    // The device does not start, so nothing else would give the interface back.
    TvrxReleaseAcpiInterface(context);
    WriteBooleanNoFence(&context->HardwarePrepared, FALSE);
    TvrxStoreDeviceMode(context, TvrxTakeDeviceModeTicket(context), 0);
    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_PREPARE_FAILED);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! failed %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
/*
 * Closes the device to new clients and gives the ACPI interface back (the
 * next prepare-hardware queries it again). Open clients and the tables stay.
 * PASSIVE_LEVEL; called by the framework at stop and removal, after D0 exit
 * unregistered the notification handler.
 */
{
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);
    TvrxReleaseAcpiInterface(context);
    WriteBooleanNoFence(&context->HardwarePrepared, FALSE);
    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_RELEASED);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
/*
 * Switches device-mode notifications on; a failure keeps the device out of D0.
 * A device whose hardware is prepared opens to new clients again (D0 exit
 * closed it), so a client started after a resume can reach it. Coming back
 * from a sleep, the mode is read once more and the clients woken, as for a
 * mode-change notification: notifications raised while the handler was
 * unregistered are lost. After D3Final, prepare-hardware has just read it.
 * PASSIVE_LEVEL; called by the framework on every entry to D0.
 */
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);
    NTSTATUS status = TvrxRegisterForAcpiNotifications(Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "notification registration failed %!STATUS!", status);
    } else {
        if (ReadBooleanNoFence(&context->HardwarePrepared)) {
            WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_PREPARED);
        }
        if (PreviousState != WdfPowerDeviceD3Final) {
            // The same work item as a notification's, so the read runs at PASSIVE_LEVEL.
            AcpiTvrxNotifyCallback(context->NotifyGate, TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE);
        }
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;
}

static VOID
TvrxWaitForNotifyCalls(_Inout_ PTVRX_NOTIFY_GATE Gate)
/*
 * Waits until no handler call is inside the driver. The gate is closed, so a
 * call that enters from now on leaves at once; one that entered before is
 * counted (both sides use interlocked operations, so one of them sees the
 * other).
 * PASSIVE_LEVEL; called by D0 exit after unregistering the handler.
 */
{
    KeClearEvent(&Gate->CallsDone);
    while (InterlockedCompareExchange(&Gate->CallsInFlight, 0, 0) != 0) {
        KeWaitForSingleObject(&Gate->CallsDone, Executive, KernelMode, FALSE, NULL);
        KeClearEvent(&Gate->CallsDone);
    }
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
/*
 * Switches device-mode notifications off, waiting for a handler call still
 * in progress, and closes the device to new clients. Open clients keep their
 * instances and events.
 * PASSIVE_LEVEL; called by the framework on every exit from D0.
 */
{
    UNREFERENCED_PARAMETER(TargetState);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    if (ReadBooleanNoFence(&context->AcpiNotificationsRegistered)) {
        // Registration made sure the interface has the routine.
        InterlockedExchange(&context->NotifyGate->Open, FALSE);
        context->AcpiInterface.UnregisterForDeviceNotifications(context->AcpiInterface.Context);
        TvrxWaitForNotifyCalls(context->NotifyGate);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "ACPI notifications unregistered");
        WriteBooleanNoFence(&context->AcpiNotificationsRegistered, FALSE);
    }
    // Opens and closes may run meanwhile, so even this look at the list takes its lock.
    WdfSpinLockAcquire(context->AppInstanceListLock);
    BOOLEAN noClients = IsListEmpty(&context->AppInstanceListHead);
    WdfSpinLockRelease(context->AppInstanceListLock);
    if (noClients) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "no open clients");
    }

    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_RELEASED);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- ACPI device-mode notifications

_Use_decl_annotations_
NTSTATUS
TvrxRegisterForAcpiNotifications(WDFDEVICE Device)
/*
 * Registers AcpiTvrxNotifyCallback with the ACPI interface, once; an
 * interface that lacks either routine is refused.
 * PASSIVE_LEVEL; called from D0 entry.
 */
{
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    if (!ReadBooleanNoFence(&context->AcpiInterfaceAcquired)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no ACPI interface");
        return STATUS_UNSUCCESSFUL;
    }
    // A handler that could not be unregistered would outlive the device.
    if (context->AcpiInterface.RegisterForDeviceNotifications == NULL ||
        context->AcpiInterface.UnregisterForDeviceNotifications == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! interface cannot register and unregister notifications");
        return STATUS_UNSUCCESSFUL;
    }
    if (ReadBooleanNoFence(&context->AcpiNotificationsRegistered)) {
        return STATUS_SUCCESS;
    }

    // Open before registering: a Notify may reach the handler at once.
    InterlockedExchange(&context->NotifyGate->Open, TRUE);
    NTSTATUS status = context->AcpiInterface.RegisterForDeviceNotifications(context->AcpiInterface.Context,
                                                                            AcpiTvrxNotifyCallback, context->NotifyGate);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&context->NotifyGate->Open, FALSE);
    }
    WriteBooleanNoFence(&context->AcpiNotificationsRegistered, NT_SUCCESS(status) ? TRUE : FALSE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "RegisterForDeviceNotifications failed %!STATUS!", status);
    }
    return status;
}

_Use_decl_annotations_
BOOLEAN
TvrxOweDeviceModeRead(PTVRX_DEVICE_CONTEXT Context)
/*
 * Makes a mode read pending with a new ticket (the newest notification's),
 * and says whether a work item must be queued for it: not when one queued
 * earlier has yet to start (it will take this read), nor when the most work
 * items exist (one of them takes it when its read ends). So a storm of
 * notifications costs at most two work items and, after the reads in flight,
 * one more read, which finds the newest mode.
 * <= DISPATCH_LEVEL; called by the notification handler.
 */
{
    BOOLEAN queue = FALSE;
    WdfSpinLockAcquire(Context->ModeReadLock);
    Context->PendingModeReadTicket = TvrxTakeDeviceModeTicket(Context);
    Context->ModeReadPending = TRUE;
    if (!Context->ModeReadItemQueued && Context->ModeReadItems < TVRX_MODE_READ_ITEMS_MAX) {
        Context->ModeReadItemQueued = TRUE;
        Context->ModeReadItems++;
        queue = TRUE;
    }
    WdfSpinLockRelease(Context->ModeReadLock);
    return queue;
}

_Use_decl_annotations_
BOOLEAN
TvrxTakeDeviceModeRead(PTVRX_DEVICE_CONTEXT Context, BOOLEAN Starting, PLONG Ticket)
/*
 * Gives a notification work item the pending read and its ticket. Starting
 * says the item is just starting, so it no longer covers later notifications.
 * With no read pending the item is done and no longer counted.
 * <= DISPATCH_LEVEL; called by the notification worker.
 */
{
    BOOLEAN taken = FALSE;
    *Ticket = 0;
    WdfSpinLockAcquire(Context->ModeReadLock);
    if (Starting) {
        Context->ModeReadItemQueued = FALSE;
    }
    if (Context->ModeReadPending) {
        Context->ModeReadPending = FALSE;
        *Ticket = Context->PendingModeReadTicket;
        taken = TRUE;
    } else {
        Context->ModeReadItems--;
    }
    WdfSpinLockRelease(Context->ModeReadLock);
    return taken;
}

static VOID TvrxQueueNotification(_In_ WDFDEVICE Device, _Inout_ PTVRX_DEVICE_CONTEXT Context, _In_ ULONG NotifyCode);

_Use_decl_annotations_
VOID
AcpiTvrxNotifyCallback(PVOID NotificationContext, ULONG NotifyCode)
/*
 * Hands the notification to a work item; all real work happens there at
 * PASSIVE_LEVEL. A device-mode change gets a work item only when no queued
 * or running one will read the mode after it (TvrxOweDeviceModeRead); the
 * ticket of its read is taken here, so that the read of the last
 * notification is the one that stays, however the work items overlap. A
 * notification whose work item cannot be created is lost unless a running
 * item takes its read. Once D0 exit has closed the gate, a call that the ACPI
 * driver still makes does nothing, and D0 exit waits for one in progress.
 * <= DISPATCH_LEVEL; called by the ACPI driver for each Notify on the device,
 * and by D0 entry after a sleep.
 */
{
    PTVRX_NOTIFY_GATE gate = (PTVRX_NOTIFY_GATE)NotificationContext;
    InterlockedIncrement(&gate->CallsInFlight);
    if (InterlockedCompareExchange(&gate->Open, TRUE, TRUE)) {
        TvrxQueueNotification(gate->Device, TvrxGetDeviceContext(gate->Device), NotifyCode);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "notification 0x%x after unregistering ignored",
                    NotifyCode);
    }
    if (InterlockedDecrement(&gate->CallsInFlight) == 0) {
        KeSetEvent(&gate->CallsDone, IO_NO_INCREMENT, FALSE);
    }
}

static VOID
TvrxQueueNotification(_In_ WDFDEVICE Device, _Inout_ PTVRX_DEVICE_CONTEXT Context, _In_ ULONG NotifyCode)
/*
 * Queues the work item of one notification (see AcpiTvrxNotifyCallback).
 * <= DISPATCH_LEVEL; called by the notification handler while notifications are open.
 */
{
    BOOLEAN modeChange = NotifyCode == TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE ? TRUE : FALSE;
    if (modeChange && !TvrxOweDeviceModeRead(Context)) {
        return;
    }

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, AcpiTvrxNotificationWorker);
    config.AutomaticSerialization = TRUE;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TVRX_ACPI_NOTIFICATION_CONTEXT);
    attributes.ParentObject = Device;

    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "notification 0x%x dropped: WdfWorkItemCreate %!STATUS!",
                    NotifyCode, status);
        if (modeChange) {
            // The read stays pending for a running item or the next notification.
            WdfSpinLockAcquire(Context->ModeReadLock);
            Context->ModeReadItemQueued = FALSE;
            Context->ModeReadItems--;
            WdfSpinLockRelease(Context->ModeReadLock);
        }
        return;
    }

    PTVRX_ACPI_NOTIFICATION_CONTEXT notification = TvrxGetNotificationContext(workItem);
    notification->Device = Device;
    notification->NotifyValue = NotifyCode;
    WdfWorkItemEnqueue(workItem);
}

_Use_decl_annotations_
VOID
AcpiTvrxNotificationWorker(WDFWORKITEM WorkItem)
/*
 * For a device-mode change, re-reads the device mode and wakes every client,
 * also when the read failed (the clients then read the mode they had), and
 * does so again while notifications left a read pending. A mode read is
 * stored only when no newer notification's read was stored first; the
 * clients are woken after the store either way.
 * PASSIVE_LEVEL; runs on a system worker thread.
 */
{
    PAGED_CODE();

    PTVRX_ACPI_NOTIFICATION_CONTEXT notification = TvrxGetNotificationContext(WorkItem);
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(notification->Device);

    if (notification->NotifyValue == TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE) {
        LONG ticket;
        BOOLEAN starting = TRUE;
        while (TvrxTakeDeviceModeRead(context, starting, &ticket)) {
            starting = FALSE;
            NTSTATUS status = TvrxReadDeviceMode(notification->Device, ticket);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "device mode read failed %!STATUS!", status);
            }
            TvrxSignalDeviceModeChange(context);
        }
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "unexpected notification 0x%x", notification->NotifyValue);
    }

    WdfObjectDelete(WorkItem);
}

// ---------------------------------------------------------------- firmware data readers
// Firmware results are untrusted: every value is assembled byte by byte,
// little-endian, and only from inside the bytes given, whatever their alignment.

static BOOLEAN
TvrxReadUshort(const UCHAR* Buffer, SIZE_T BufferSize, SIZE_T Offset, PUSHORT Value)
{
    if (BufferSize < sizeof(USHORT) || Offset > BufferSize - sizeof(USHORT)) {
        return FALSE;
    }
    *Value = (USHORT)(Buffer[Offset] | (Buffer[Offset + 1] << 8));
    return TRUE;
}

static BOOLEAN
TvrxReadUlong(const UCHAR* Buffer, SIZE_T BufferSize, SIZE_T Offset, PULONG Value)
{
    if (BufferSize < sizeof(ULONG) || Offset > BufferSize - sizeof(ULONG)) {
        return FALSE;
    }
    *Value = (ULONG)Buffer[Offset] | ((ULONG)Buffer[Offset + 1] << 8) | ((ULONG)Buffer[Offset + 2] << 16) |
             ((ULONG)Buffer[Offset + 3] << 24);
    return TRUE;
}

//
// The data of the result element whose 4-byte header starts at Offset, cut to
// what the buffer holds; for trace dumps only.
//
static ULONG
TvrxElementDataLength(const UCHAR* Buffer, SIZE_T BufferSize, SIZE_T Offset)
{
    USHORT dataLength;
    if (!TvrxReadUshort(Buffer, BufferSize, Offset + 2, &dataLength) || Offset + 4 > BufferSize) {
        return 0;
    }
    SIZE_T room = BufferSize - (Offset + 4);
    return (ULONG)(dataLength < room ? dataLength : room);
}

// ---------------------------------------------------------------- _DSM evaluation

// {82737E72-3A33-4C45-A9C7-57C0411A5F13}: the _DSM interface of the device.
static const GUID TvrxDsmUuid = {0x82737E72, 0x3A33, 0x4C45, {0xA9, 0xC7, 0x57, 0xC0, 0x41, 0x1A, 0x5F, 0x13}};

_Use_decl_annotations_
NTSTATUS
TvrxEvaluateDeviceModeDsm(WDFDEVICE Device, ULONG FunctionIndex, ULONG TableIndex, WDFMEMORY* ResponseMemory)
/*
 * Evaluates _DSM(uuid, 0, FunctionIndex, argument) on the ACPI device below,
 * waiting at most 3 seconds. The fourth argument is the table index for
 * function 2 and 0 otherwise. Either returns STATUS_SUCCESS with the 524-byte
 * result (the caller deletes it), or another status with no result: a result
 * that does not fit is not retried, and a wrong signature or an empty result
 * is STATUS_ACPI_INVALID_DATA.
 * PASSIVE_LEVEL (synchronous send); called from prepare-hardware, the table
 * read and the notification worker.
 */
{
    PAGED_CODE();

    WDFIOTARGET ioTarget = WdfDeviceGetIoTarget(Device);
    if (ResponseMemory == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no location for the response");
        return STATUS_UNSUCCESSFUL;
    }
    *ResponseMemory = NULL;
    if (ioTarget == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no local I/O target");
        return STATUS_UNSUCCESSFUL;
    }

    WDFMEMORY inputMemory = NULL;
    WDFMEMORY outputMemory = NULL;
    PVOID outputBuffer = NULL;
    PUCHAR output = NULL;

    NTSTATUS status =
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, TVRX_DSM_INPUT_SIZE, &inputMemory, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! input WdfMemoryCreate failed %!STATUS!", status);
        goto Exit;
    }

    {
        PACPI_EVAL_INPUT_BUFFER_COMPLEX input =
            (PACPI_EVAL_INPUT_BUFFER_COMPLEX)WdfMemoryGetBuffer(inputMemory, NULL);
        RtlZeroMemory(input, TVRX_DSM_INPUT_SIZE);
        input->Signature = ACPI_EVAL_INPUT_BUFFER_COMPLEX_SIGNATURE;
        input->MethodName[0] = '_';
        input->MethodName[1] = 'D';
        input->MethodName[2] = 'S';
        input->MethodName[3] = 'M';
        input->Size = TVRX_DSM_INPUT_SIZE - FIELD_OFFSET(ACPI_EVAL_INPUT_BUFFER_COMPLEX, Argument);
        input->ArgumentCount = 4;

        PACPI_METHOD_ARGUMENT argument = &input->Argument[0];
        ACPI_METHOD_SET_ARGUMENT_BUFFER(argument, &TvrxDsmUuid, sizeof(TvrxDsmUuid));
        argument = ACPI_METHOD_NEXT_ARGUMENT(argument);
        ACPI_METHOD_SET_ARGUMENT_INTEGER(argument, TVRX_DSM_REVISION);
        argument = ACPI_METHOD_NEXT_ARGUMENT(argument);
        ACPI_METHOD_SET_ARGUMENT_INTEGER(argument, FunctionIndex);
        argument = ACPI_METHOD_NEXT_ARGUMENT(argument);
        // Sent as a plain integer: the firmware takes it as the table index.
        ACPI_METHOD_SET_ARGUMENT_INTEGER(argument,
                                         FunctionIndex == TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE ? TableIndex : 0);
    }

    status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, TVRX_POOL_TAG, TVRX_DSM_OUTPUT_SIZE,
                             &outputMemory, &outputBuffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! output WdfMemoryCreate failed %!STATUS!", status);
        outputMemory = NULL;
        goto Exit;
    }
    output = (PUCHAR)outputBuffer;
    RtlZeroMemory(output, TVRX_DSM_OUTPUT_SIZE);

    {
        WDF_MEMORY_DESCRIPTOR inputDescriptor;
        WDF_MEMORY_DESCRIPTOR outputDescriptor;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&inputDescriptor, WdfMemoryGetBuffer(inputMemory, NULL),
                                          TVRX_DSM_INPUT_SIZE);
        WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&outputDescriptor, outputMemory, NULL);

        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, TVRX_DSM_TIMEOUT_100NS);

        status = WdfIoTargetSendIoctlSynchronously(ioTarget, NULL, IOCTL_ACPI_EVAL_METHOD, &inputDescriptor,
                                                   &outputDescriptor, &options, NULL);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! _DSM function %u (table %u) failed %!STATUS!",
                    FunctionIndex, TableIndex, status);
        goto Exit;
    }

    {
        ULONG signature = 0;
        ULONG count = 0;
        TvrxReadUlong(output, TVRX_DSM_OUTPUT_SIZE, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Signature), &signature);
        TvrxReadUlong(output, TVRX_DSM_OUTPUT_SIZE, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Count), &count);
        if (signature != ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE) {
            status = STATUS_ACPI_INVALID_DATA;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! result signature 0x%08X %!STATUS!", signature,
                        status);
        } else if (count == 0) {
            status = STATUS_ACPI_INVALID_DATA;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! result has no elements %!STATUS!", status);
        }
    }

Exit:
    if (inputMemory != NULL) {
        WdfObjectDelete(inputMemory);
    }
    // Only a plain STATUS_SUCCESS hands the result over, so that every other
    // status leaves the caller nothing to delete.
    if (status == STATUS_SUCCESS) {
        *ResponseMemory = outputMemory;
    } else if (outputMemory != NULL) {
        WdfObjectDelete(outputMemory);
    }
    return status;
}

static NTSTATUS
TvrxEvaluateAndProcess(_In_ WDFDEVICE Device, _In_ ULONG FunctionIndex, _In_opt_ const LONG* Ticket)
/*
 * Evaluates one _DSM function and stores its result in the device; a device
 * mode is stored for the read that took *Ticket, or without one as the newest.
 * Returns the evaluation's failure, else the processing's status.
 * PASSIVE_LEVEL; called by TvrxEvaluateDsmFunction and TvrxReadDeviceMode.
 */
{
    WDFMEMORY response = NULL;
    NTSTATUS status = TvrxEvaluateDeviceModeDsm(Device, FunctionIndex, 0, &response);
    if (NT_SUCCESS(status)) {
        status = TvrxProcessDsmResult(Device, (LONG)FunctionIndex, 0, response, Ticket);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! function %u result rejected %!STATUS!",
                        FunctionIndex, status);
        }
    }
    if (response != NULL) {
        WdfObjectDelete(response);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxEvaluateDsmFunction(WDFDEVICE Device, ULONG FunctionIndex)
/*
 * Evaluates one _DSM function and stores its result in the device (through
 * TvrxProcessDsmResponseBuffer). Returns the evaluation's failure, else the
 * processing's status.
 * PASSIVE_LEVEL; called from prepare-hardware (functions 0, 1, 3).
 */
{
    PAGED_CODE();
    return TvrxEvaluateAndProcess(Device, FunctionIndex, NULL);
}

_Use_decl_annotations_
NTSTATUS
TvrxReadDeviceMode(WDFDEVICE Device, LONG Ticket)
/*
 * Evaluates _DSM function 1 and stores the device mode it reports for the
 * read that took Ticket (TvrxStoreDeviceMode decides whether it stays).
 * Returns the evaluation's failure, else the processing's status.
 * PASSIVE_LEVEL (synchronous send); called by the notification worker.
 */
{
    PAGED_CODE();
    return TvrxEvaluateAndProcess(Device, TVRX_DSM_FUNCTION_DEVICE_MODE, &Ticket);
}

// ---------------------------------------------------------------- device-mode tables

//
// Layout of a function-2 result (offsets from its start): element 2, the
// table package, has its header at 28; inside it a leading integer, then one
// 36-byte entry per device mode: a package header and four 8-byte integers.
//
#define TVRX_TABLE_FIRST_ENTRY_OFFSET 40
#define TVRX_TABLE_ENTRY_SIZE 36
#define TVRX_TABLE_ENTRY_PACKAGE_LENGTH 32
#define TVRX_INTEGER_ELEMENT_SIZE 8

//
// An element qualifies with a length when its header lies inside the limit,
// its Type is an integer or a package, and its DataLength is that length.
//
static BOOLEAN
TvrxElementQualifies(const UCHAR* Buffer, SIZE_T Limit, SIZE_T Offset, USHORT Length)
{
    USHORT type;
    USHORT dataLength;
    if (!TvrxReadUshort(Buffer, Limit, Offset, &type) || !TvrxReadUshort(Buffer, Limit, Offset + 2, &dataLength)) {
        return FALSE;
    }
    if (type != ACPI_METHOD_ARGUMENT_INTEGER && type != ACPI_METHOD_ARGUMENT_PACKAGE) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! element type %u at offset %u", type,
                    (ULONG)Offset);
        return FALSE;
    }
    return dataLength == Length ? TRUE : FALSE;
}

//
// Reads the entry whose first integer's header is at Offset. The fixed offsets
// of its values hold only when all four integers carry 4 data bytes and the
// whole entry lies inside the limit; anything else is no entry.
//
static BOOLEAN
TvrxReadDeviceModeEntry(const UCHAR* Buffer, SIZE_T Limit, SIZE_T Offset, PTVRX_DEVICE_MODE_ENTRY Entry)
{
    if (Offset > Limit || Limit - Offset < (SIZE_T)4 * TVRX_INTEGER_ELEMENT_SIZE) {
        return FALSE;
    }
    if (!TvrxElementQualifies(Buffer, Limit, Offset, sizeof(ULONG))) {
        return FALSE;
    }
    ULONG integers[4];
    for (ULONG i = 0; i < 4; i++) {
        SIZE_T element = Offset + (SIZE_T)i * TVRX_INTEGER_ELEMENT_SIZE;
        USHORT dataLength;
        if (!TvrxReadUshort(Buffer, Limit, element + 2, &dataLength) || dataLength != sizeof(ULONG) ||
            !TvrxReadUlong(Buffer, Limit, element + 4, &integers[i])) {
            return FALSE;
        }
    }
    Entry->DeviceMode = (UCHAR)integers[0];
    Entry->Value1 = integers[1];
    Entry->Value2 = integers[2];
    Entry->Value3 = integers[3];
    return TRUE;
}

_Use_decl_annotations_
NTSTATUS
TvrxParseDeviceModeInfoFromBuf(PTVRX_DEVICE_MODE_TABLE Table, const UCHAR* Buffer, SIZE_T BufferSize)
/*
 * Copies the entries of a function-2 result into Table, whose EntryCount the
 * caller has set, and raises MaxDeviceMode to the highest mode stored.
 * Malformed content ends the walk early; entries not reached keep what they
 * held. Reads stay inside both BufferSize and the result's Length, and at
 * most the table's 32 entries are written.
 * PASSIVE_LEVEL; called by TvrxProcessDsmResponseBuffer for function 2.
 */
{
    PAGED_CODE();

    SIZE_T limit = BufferSize;
    ULONG resultLength;
    if (TvrxReadUlong(Buffer, BufferSize, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Length), &resultLength) &&
        resultLength < limit) {
        limit = resultLength;
    }
    ULONG passes = 0;
    if (!TvrxReadUlong(Buffer, BufferSize, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Count), &passes)) {
        return STATUS_SUCCESS;
    }
    ULONG entryCount = ReadULongNoFence(&Table->EntryCount);
    if (entryCount > TVRX_DEVICE_MODE_ENTRIES_MAX) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! %u entries announced, %u kept at most",
                    entryCount, TVRX_DEVICE_MODE_ENTRIES_MAX);
        entryCount = TVRX_DEVICE_MODE_ENTRIES_MAX;
    }

    //
    // A pass walks one block of entries. A well-formed result has one block,
    // so the second pass finds no block header and, since the position then
    // stays where it is, neither will any later pass.
    //
    SIZE_T position = TVRX_TABLE_FIRST_ENTRY_OFFSET;
    for (ULONG pass = 0; pass < passes; pass++) {
        if (!TvrxElementQualifies(Buffer, limit, position, TVRX_TABLE_ENTRY_PACKAGE_LENGTH)) {
            break;
        }
        position += sizeof(ULONG);

        for (ULONG j = 0; j < entryCount; j++) {
            TVRX_DEVICE_MODE_ENTRY entry;
            if (!TvrxReadDeviceModeEntry(Buffer, limit, position, &entry)) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! entry %u malformed or cut off", j);
                break;
            }
            PTVRX_DEVICE_MODE_ENTRY stored = &Table->Entries[j];
            WriteUCharNoFence(&stored->DeviceMode, entry.DeviceMode);
            WriteULongNoFence(&stored->Value1, entry.Value1);
            WriteULongNoFence(&stored->Value2, entry.Value2);
            WriteULongNoFence(&stored->Value3, entry.Value3);
            // Past the four integers and the next entry's package header.
            position += TVRX_TABLE_ENTRY_SIZE;
            if (entry.DeviceMode > ReadUCharNoFence(&Table->MaxDeviceMode)) {
                WriteUCharNoFence(&Table->MaxDeviceMode, entry.DeviceMode);
            }
        }
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxDsmReadTable(WDFDEVICE Device)
/*
 * Reads the three device-mode tables (_DSM function 2, table indexes 0 to 2)
 * into the device context, stopping at the first failure.
 * PASSIVE_LEVEL; called from prepare-hardware only.
 */
{
    PAGED_CODE();

    NTSTATUS status = STATUS_SUCCESS;
    WDFMEMORY response = NULL;

    for (ULONG tableIndex = 0; tableIndex < TVRX_DEVICE_MODE_TABLE_COUNT_MAX; tableIndex++) {
        status = TvrxEvaluateDeviceModeDsm(Device, TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE, tableIndex, &response);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table %u evaluation failed %!STATUS!", tableIndex,
                        status);
            break;
        }
        status = TvrxProcessDsmResponseBuffer(Device, TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE, (LONG)tableIndex,
                                              response);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table %u rejected %!STATUS!", tableIndex, status);
            break;
        }
        WdfObjectDelete(response);
        response = NULL;
    }

    if (response != NULL) {
        WdfObjectDelete(response);
    }
    return status;
}

// ---------------------------------------------------------------- _DSM response processing

#define TVRX_RESULT_MIN_SIZE 20          // header and the first integer element
#define TVRX_RESULT_ELEMENT0 12          // element headers; data follows 4 bytes later
#define TVRX_RESULT_ELEMENT1 20
#define TVRX_RESULT_ELEMENT2 28
#define TVRX_HEX_DUMP_BYTES_MAX 170      // three characters each in a 512-byte line

static VOID TvrxProcessDeviceMode(PTVRX_DEVICE_CONTEXT Context, const UCHAR* Buffer, SIZE_T BufferSize, LONG Ticket);
static NTSTATUS TvrxProcessDeviceModeTable(PTVRX_DEVICE_CONTEXT Context, LONG TableIndex, const UCHAR* Buffer,
                                           SIZE_T BufferSize);
static NTSTATUS TvrxProcessBiosSarLocation(WDFDEVICE Device, PTVRX_DEVICE_CONTEXT Context, const UCHAR* Buffer,
                                           SIZE_T BufferSize);
static NTSTATUS TvrxRecordBiosSarState(WDFDEVICE Device, ULONG State);
static NTSTATUS TvrxReadParameterULong(WDFDEVICE Device, PCWSTR SubkeyName, PCWSTR ValueName, PULONG Value);

_Use_decl_annotations_
NTSTATUS
TvrxProcessDsmResponseBuffer(WDFDEVICE Device, LONG FunctionIndex, LONG TableIndex, WDFMEMORY ResponseMemory)
/*
 * The response processing for a caller without a device-mode read of its
 * own: a device mode is stored as the newest read (see TvrxProcessDsmResult).
 * PASSIVE_LEVEL; called by the table read, and by tests and tools.
 */
{
    PAGED_CODE();
    return TvrxProcessDsmResult(Device, FunctionIndex, TableIndex, ResponseMemory, NULL);
}

static NTSTATUS
TvrxProcessDsmResult(WDFDEVICE Device, LONG FunctionIndex, LONG TableIndex, WDFMEMORY ResponseMemory,
                     const LONG* Ticket)
/*
 * Turns one _DSM result into device state: function 0 checks support (bit 0),
 * 1 stores the device mode (for the read that took *Ticket, or as the newest
 * read without one), 2 stores device-mode table TableIndex, 3 exports the SAR
 * table and records the outcome in the registry. Other functions are ignored.
 * The response stays the caller's.
 * PASSIVE_LEVEL; called after each evaluation, from prepare-hardware, the
 * table read and the notification worker.
 */
{
    PAGED_CODE();

    if (ResponseMemory == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no response");
        return STATUS_UNSUCCESSFUL;
    }
    size_t size = 0;
    const UCHAR* buffer = (const UCHAR*)WdfMemoryGetBuffer(ResponseMemory, &size);
    if (buffer == NULL || size < TVRX_RESULT_MIN_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! response of %u bytes is too short", (ULONG)size);
        return STATUS_UNSUCCESSFUL;
    }
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    switch (FunctionIndex) {
    case TVRX_DSM_FUNCTION_SUPPORTED_FUNCTIONS: {
        USHORT dataLength = 0;
        ULONG bits = 0;
        TvrxReadUshort(buffer, size, TVRX_RESULT_ELEMENT0 + 2, &dataLength);
        if (dataLength >= sizeof(ULONG)) {
            TvrxReadUlong(buffer, size, TVRX_RESULT_ELEMENT0 + 4, &bits);
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! supported functions 0x%08X", bits);
        return (bits & 1) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }

    case TVRX_DSM_FUNCTION_DEVICE_MODE:
        // Without a ticket of its own the mode is the newest read: a ticket
        // taken now is newer than every one handed out before.
        TvrxProcessDeviceMode(context, buffer, size, Ticket != NULL ? *Ticket : TvrxTakeDeviceModeTicket(context));
        return STATUS_SUCCESS;

    case TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE:
        return TvrxProcessDeviceModeTable(context, TableIndex, buffer, size);

    case TVRX_DSM_FUNCTION_BIOS_SAR_TABLE:
        return TvrxProcessBiosSarLocation(Device, context, buffer, size);

    default:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! function %d ignored", FunctionIndex);
        return STATUS_SUCCESS;
    }
}

static VOID
TvrxProcessDeviceMode(PTVRX_DEVICE_CONTEXT Context, const UCHAR* Buffer, SIZE_T BufferSize, LONG Ticket)
/*
 * Function 1: stores the device mode of a result of at least
 * TVRX_RESULT_MIN_SIZE bytes for the read that took Ticket.
 * PASSIVE_LEVEL; called by TvrxProcessDsmResult.
 */
{
    ULONG deviceMode = Buffer[TVRX_RESULT_ELEMENT0 + 4];
    TvrxTraceHexDump(Buffer + TVRX_RESULT_ELEMENT0 + 4, TvrxElementDataLength(Buffer, BufferSize, TVRX_RESULT_ELEMENT0),
                     "DeviceMode");
    if (TvrxStoreDeviceMode(Context, Ticket, deviceMode)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! device mode %u", deviceMode);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! device mode %u not stored: a newer read was",
                    deviceMode);
    }
}

_Use_decl_annotations_
LONG
TvrxTakeDeviceModeTicket(PTVRX_DEVICE_CONTEXT Context)
/*
 * Hands out the ticket of the next device-mode read; tickets only grow (they
 * are compared by their difference, so their wrap-around does no harm).
 * <= DISPATCH_LEVEL; called by the notification handler and by every store
 * of the mode outside a notification.
 */
{
    return InterlockedIncrement(&Context->DeviceModeTicket);
}

_Use_decl_annotations_
BOOLEAN
TvrxStoreDeviceMode(PTVRX_DEVICE_CONTEXT Context, LONG Ticket, ULONG DeviceMode)
/*
 * Stores DeviceMode as found by the read that took Ticket, unless a read with
 * a newer ticket was stored first; returns whether it was stored.
 * The record changes by compare-exchange only, so the newest ticket always
 * wins it. CurrentDeviceMode is then written from the record, not from
 * DeviceMode: a storer writes the mode again until the record is unchanged
 * after its write, so whichever write lands last carries the newest record's
 * mode (a newer record was stored after that storer looked, and its own
 * storer writes after it). Every access is interlocked, so they are ordered
 * as one sequence.
 * <= DISPATCH_LEVEL; called by the mode processing and prepare-hardware.
 */
{
    LONG64 wanted = (LONG64)(((ULONG64)(ULONG)Ticket << 32) | DeviceMode);
    LONG64 seen = InterlockedCompareExchange64(&Context->DeviceModeRecord, 0, 0);
    for (;;) {
        if ((LONG)((ULONG)Ticket - (ULONG)((ULONG64)seen >> 32)) <= 0) {
            return FALSE;
        }
        LONG64 before = InterlockedCompareExchange64(&Context->DeviceModeRecord, wanted, seen);
        if (before == seen) {
            break;
        }
        seen = before;
    }

    LONG64 published = wanted;
    for (;;) {
        InterlockedExchange((LONG volatile*)&Context->CurrentDeviceMode, (LONG)(ULONG)published);
        LONG64 now = InterlockedCompareExchange64(&Context->DeviceModeRecord, 0, 0);
        if (now == published) {
            break;
        }
        published = now;
    }
    return TRUE;
}

static NTSTATUS
TvrxProcessDeviceModeTable(PTVRX_DEVICE_CONTEXT Context, LONG TableIndex, const UCHAR* Buffer, SIZE_T BufferSize)
/*
 * Function 2: stores the tag and the entry count of table TableIndex and, when
 * the table package is long enough for that count, its entries.
 * PASSIVE_LEVEL; called by TvrxProcessDsmResponseBuffer.
 */
{
    ULONG count = 0;
    TvrxReadUlong(Buffer, BufferSize, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Count), &count);
    if (count < 2) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table result has %u elements", count);
        return STATUS_UNSUCCESSFUL;
    }
    // The context holds three tables; any other index would write outside it.
    if (TableIndex < 0 || TableIndex >= TVRX_DEVICE_MODE_TABLE_COUNT_MAX) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no table %d", TableIndex);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG entryCount;
    USHORT packageType;
    USHORT packageLength;
    if (!TvrxReadUlong(Buffer, BufferSize, TVRX_RESULT_ELEMENT1 + 4, &entryCount) ||
        !TvrxReadUshort(Buffer, BufferSize, TVRX_RESULT_ELEMENT2, &packageType) ||
        !TvrxReadUshort(Buffer, BufferSize, TVRX_RESULT_ELEMENT2 + 2, &packageLength)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table result of %u bytes is cut off", (ULONG)BufferSize);
        return STATUS_UNSUCCESSFUL;
    }

    TvrxTraceHexDump(Buffer + TVRX_RESULT_ELEMENT1 + 4, TvrxElementDataLength(Buffer, BufferSize, TVRX_RESULT_ELEMENT1),
                     "Number");
    PTVRX_DEVICE_MODE_TABLE table = &Context->DeviceModeTables[TableIndex];
    WriteUCharNoFence(&table->TableTag, Buffer[TVRX_RESULT_ELEMENT0 + 4]);
    WriteULongNoFence(&table->EntryCount, entryCount);
    TvrxTraceHexDump(Buffer + TVRX_RESULT_ELEMENT2 + 4, TvrxElementDataLength(Buffer, BufferSize, TVRX_RESULT_ELEMENT2),
                     "Table");
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! table %d tag 0x%02X, %u entries", TableIndex,
                Buffer[TVRX_RESULT_ELEMENT0 + 4], entryCount);

    ULONG64 needed = (ULONG64)TVRX_TABLE_ENTRY_SIZE * entryCount + TVRX_INTEGER_ELEMENT_SIZE;
    if (packageLength < needed) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! table package of %u bytes, %I64u needed", packageLength,
                    needed);
        return STATUS_UNSUCCESSFUL;
    }
    if (packageType != ACPI_METHOD_ARGUMENT_PACKAGE) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! table element of type %u not parsed", packageType);
        return STATUS_SUCCESS;
    }

    NTSTATUS status = TvrxParseDeviceModeInfoFromBuf(table, Buffer, BufferSize);
    if (NT_SUCCESS(status)) {
        WriteBooleanNoFence(&Context->DeviceModeTablesValid, TRUE);
    }
    return status;
}

static NTSTATUS
TvrxProcessBiosSarLocation(WDFDEVICE Device, PTVRX_DEVICE_CONTEXT Context, const UCHAR* Buffer, SIZE_T BufferSize)
/*
 * Function 3: stores where the SAR table lies, exports it, and records the
 * outcome (BiosSarState, and BiosInfo after a successful export) in the
 * registry. A failed export is reported as the failure it is, after
 * BiosSarState has been recorded.
 * PASSIVE_LEVEL; called by TvrxProcessDsmResponseBuffer from prepare-hardware.
 */
{
    ULONG count = 0;
    TvrxReadUlong(Buffer, BufferSize, FIELD_OFFSET(ACPI_EVAL_OUTPUT_BUFFER, Count), &count);
    if (count < 2) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! SAR location has %u elements", count);
        NTSTATUS status = TvrxRecordBiosSarState(Device, TVRX_BIOS_SAR_STATE_BAD_RESULT);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    ULONG address;
    ULONG length;
    if (!TvrxReadUlong(Buffer, BufferSize, TVRX_RESULT_ELEMENT0 + 4, &address) ||
        !TvrxReadUlong(Buffer, BufferSize, TVRX_RESULT_ELEMENT1 + 4, &length)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! SAR location of %u bytes is cut off", (ULONG)BufferSize);
        return STATUS_UNSUCCESSFUL;
    }

    TvrxTraceHexDump(Buffer + TVRX_RESULT_ELEMENT1 + 4, TvrxElementDataLength(Buffer, BufferSize, TVRX_RESULT_ELEMENT1),
                     "lENGTH");
    WriteULongNoFence(&Context->SarTablePhysicalAddress, address);
    WriteULongNoFence(&Context->SarTableLength, length);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! SAR table at 0x%08X, %u bytes", address, length);

    NTSTATUS exportStatus = TvrxExportBiosSarTable(address, (ULONG64)length);
    if (exportStatus != STATUS_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! export failed %!STATUS!", exportStatus);
        NTSTATUS status = TvrxRecordBiosSarState(Device, ReadULongNoFence(&BiosSarState));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return NT_SUCCESS(exportStatus) ? STATUS_UNSUCCESSFUL : exportStatus;
    }

    NTSTATUS status = TvrxRecordBiosSarState(Device, TVRX_BIOS_SAR_STATE_CURRENT);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING biosVersion;
    status = TvrxQueryRegistryString(L"\\Registry\\Machine\\SYSTEM\\HardwareConfig\\Current", L"BIOSVersion",
                                     &biosVersion);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = TvrxWriteParameterValue(Device, L"SARService", L"BiosInfo", REG_SZ, &biosVersion, 0);
    if (NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! SAR table exported for BIOS %wZ", &biosVersion);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! BiosInfo not written %!STATUS!", status);
    }
    RtlFreeUnicodeString(&biosVersion);
    return status;
}

_Use_decl_annotations_
VOID
TvrxTraceHexDump(const UCHAR* Data, ULONG Count, PCSTR Label)
/*
 * Traces up to 170 bytes of Data as upper-case hexadecimal pairs, with Label.
 * <= DISPATCH_LEVEL; called by the response processing.
 */
{
    static const CHAR digits[] = "0123456789ABCDEF";
    CHAR line[TVRX_HEX_DUMP_BYTES_MAX * 3 + 2];

    ULONG bytes = 0;
    if (Data != NULL) {
        bytes = Count < TVRX_HEX_DUMP_BYTES_MAX ? Count : TVRX_HEX_DUMP_BYTES_MAX;
    }
    ULONG at = 0;
    for (ULONG i = 0; i < bytes; i++) {
        line[at++] = digits[Data[i] >> 4];
        line[at++] = digits[Data[i] & 0xF];
        line[at++] = ' ';
    }
    line[at] = '\0';
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%s: %s", Label, line);
}

// ---------------------------------------------------------------- SAR table export

#define TVRX_SAR_TRANSFER_SIZE 1024
#define TVRX_SAR_FILE_NAME L"\\??\\C:\\windows\\wwan\\bios_sar\\bios_sar.flz"
#define TVRX_SAR_NEW_FILE_NAME L"\\??\\C:\\windows\\wwan\\bios_sar\\bios_sar.flz.new"

//
// A rename record with room for the export file's full name.
//
typedef struct _TVRX_SAR_RENAME {
    FILE_RENAME_INFORMATION Rename;
    WCHAR NameRoom[sizeof(TVRX_SAR_FILE_NAME) / sizeof(WCHAR)];
} TVRX_SAR_RENAME;

static NTSTATUS
TvrxReplaceSarFile(_In_ HANDLE NewFile)
/*
 * Renames the finished copy NewFile (opened with DELETE access) to the export
 * file's name, replacing the file in one step.
 * PASSIVE_LEVEL; called by the SAR export.
 */
{
    TVRX_SAR_RENAME rename;
    RtlZeroMemory(&rename, sizeof(rename));
    rename.Rename.ReplaceIfExists = TRUE;
    rename.Rename.RootDirectory = NULL;
    rename.Rename.FileNameLength = sizeof(TVRX_SAR_FILE_NAME) - sizeof(WCHAR);
    RtlCopyMemory((PUCHAR)&rename + FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName), TVRX_SAR_FILE_NAME,
                  rename.Rename.FileNameLength);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status =
        ZwSetInformationFile(NewFile, &ioStatus, &rename,
                             FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + rename.Rename.FileNameLength,
                             FileRenameInformation);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %ws not replaced %!STATUS!", TVRX_SAR_FILE_NAME, status);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxExportBiosSarTable(ULONG PhysicalAddress, ULONG64 Length)
/*
 * Copies Length bytes of physical memory from PhysicalAddress into
 * \??\C:\windows\wwan\bios_sar\bios_sar.flz in pieces of at most 1024
 * bytes. The copy is written beside the file (bios_sar.flz.new, truncated
 * when a crash left one) and replaces it only once complete and flushed to
 * the disk, so the file always holds a whole table, the last one exported or
 * the new one; a failed copy is deleted. Sets BiosSarState to 4 when memory
 * cannot be read and to 5 when the copy cannot be written, flushed or put in
 * the file's place.
 * PASSIVE_LEVEL (file I/O, mapping); called from function-3 processing.
 */
{
    PAGED_CODE();

    WDFMEMORY transferMemory;
    PVOID transfer;
    NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, TVRX_SAR_POOL_TAG,
                                      TVRX_SAR_TRANSFER_SIZE, &transferMemory, &transfer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! transfer buffer failed %!STATUS!", status);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = TvrxCreateDirectory(L"\\??\\C:\\windows\\wwan\\bios_sar");
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(transferMemory);
        return status;
    }

    UNICODE_STRING fileName = RTL_CONSTANT_STRING(TVRX_SAR_NEW_FILE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &fileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE file = NULL;
    // DELETE: the finished copy is renamed over the file.
    status = ZwCreateFile(&file, GENERIC_WRITE | DELETE, &attributes, &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL, 0,
                          FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! cannot open %wZ %!STATUS!", &fileName, status);
        file = NULL;
    } else {
        // Byte k of the file is the byte at PhysicalAddress + k: the address
        // advances in 64 bits, so a table is never continued from address 0.
        ULONG64 address = PhysicalAddress;
        ULONG64 offset = 0;
        while (offset < Length) {
            ULONG64 piece = Length - offset < TVRX_SAR_TRANSFER_SIZE ? Length - offset : TVRX_SAR_TRANSFER_SIZE;
            ULONG64 copied = 0;
            status = TvrxReadPhysicalMemory(transfer, piece, address, &copied);
            if (!NT_SUCCESS(status)) {
                WriteULongNoFence(&BiosSarState, TVRX_BIOS_SAR_STATE_READ_FAILED);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! reading 0x%I64X failed %!STATUS!", address,
                            status);
                break;
            }
            LARGE_INTEGER byteOffset;
            byteOffset.QuadPart = (LONGLONG)offset;
            status = ZwWriteFile(file, NULL, NULL, NULL, &ioStatus, transfer, (ULONG)copied, &byteOffset, NULL);
            if (!NT_SUCCESS(status)) {
                WriteULongNoFence(&BiosSarState, TVRX_BIOS_SAR_STATE_WRITE_FAILED);
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! writing at %I64u failed %!STATUS!", offset,
                            status);
                break;
            }
            address += piece;
            offset += copied;
        }
        if (NT_SUCCESS(status)) {
            // On the disk before its name is: else a power cut after the
            // rename could leave the file's name on data never written.
            status = ZwFlushBuffersFile(file, &ioStatus);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! flushing %wZ failed %!STATUS!", &fileName,
                            status);
            } else {
                status = TvrxReplaceSarFile(file);
            }
            if (!NT_SUCCESS(status)) {
                WriteULongNoFence(&BiosSarState, TVRX_BIOS_SAR_STATE_WRITE_FAILED);
            }
        }
    }

    if (file != NULL) {
        ZwClose(file);
        if (!NT_SUCCESS(status)) {
            // Nothing of a failed copy stays; the file keeps the last whole table.
            NTSTATUS deleteStatus = ZwDeleteFile(&attributes);
            if (!NT_SUCCESS(deleteStatus)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! cannot delete %wZ %!STATUS!", &fileName,
                            deleteStatus);
            }
        }
    }
    WdfObjectDelete(transferMemory);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! %I64u bytes %!STATUS!", Length, status);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxCreateDirectory(PCWSTR Path)
/*
 * Creates the last component of the directory Path unless it exists.
 * PASSIVE_LEVEL; called by the SAR export.
 */
{
    PAGED_CODE();

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE directory;
    // Only listed, and shared with every other opener: a program reading the
    // directory must not make the export fail.
    NTSTATUS status = ZwCreateFile(&directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &ioStatus, NULL,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   FILE_OPEN_IF, FILE_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %ws %!STATUS!", Path, status);
        return status;
    }
    ZwClose(directory);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxReadPhysicalMemory(PVOID Destination, ULONG64 ByteCount, ULONG64 PhysicalAddress, PULONG64 BytesCopied)
/*
 * Maps ByteCount bytes at PhysicalAddress uncached and copies them to
 * Destination. A fault while touching the mapping is caught and returned as
 * its exception code.
 * PASSIVE_LEVEL (MmMapIoSpace); called by the SAR export.
 */
{
    PAGED_CODE();

    *BytesCopied = 0;
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = (LONGLONG)PhysicalAddress;
    PVOID mapping = MmMapIoSpace(physical, (SIZE_T)ByteCount, MmNonCached);
    if (mapping == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! cannot map %I64u bytes at 0x%I64X", ByteCount,
                    PhysicalAddress);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_SUCCESS;
    __try {
        RtlCopyMemory(Destination, mapping, (SIZE_T)ByteCount);
        *BytesCopied = ByteCount;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! fault reading 0x%I64X %!STATUS!", PhysicalAddress,
                    status);
    }

    MmUnmapIoSpace(mapping, (SIZE_T)ByteCount);
    return status;
}

// ---------------------------------------------------------------- BIOS and SAR registry state

// The driver-wide state of the SAR export; see TVRX_BIOS_SAR_STATE_*.
ULONG BiosSarState;

static NTSTATUS
TvrxRecordBiosSarState(WDFDEVICE Device, ULONG State)
/*
 * Sets BiosSarState and writes it to SARService\BiosSarState.
 * PASSIVE_LEVEL; called from prepare-hardware's update check and function-3 processing.
 */
{
    WriteULongNoFence(&BiosSarState, State);
    ULONG value = State;
    NTSTATUS status = TvrxWriteParameterValue(Device, L"SARService", L"BiosSarState", REG_DWORD, &value,
                                              sizeof(value));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! BiosSarState %u not written %!STATUS!", State, status);
    }
    return status;
}

_Use_decl_annotations_
BOOLEAN
TvrxIsBiosSarUpdateNeeded(WDFDEVICE Device)
/*
 * Decides whether the SAR table must be exported: it is not only when the
 * BIOS version recorded at the last export (SARService\BiosInfo) equals the
 * running one, compared without regard to case, the last start left the
 * export current (BiosSarState 1, read before this check records 0), and the
 * export file exists. So an export that failed, or was cut short, and a file
 * deleted since are exported again even with the BIOS unchanged. Any failure
 * on the way counts as "export".
 * PASSIVE_LEVEL; called from prepare-hardware once per start.
 */
{
    PAGED_CODE();

    UNICODE_STRING biosVersion = {0, 0, NULL};
    UNICODE_STRING biosInfo = {0, 0, NULL};
    BOOLEAN needed = TRUE;

    ULONG lastState = TVRX_BIOS_SAR_STATE_CHECKING;
    NTSTATUS lastStatus = TvrxReadParameterULong(Device, L"SARService", L"BiosSarState", &lastState);
    NTSTATUS status = TvrxRecordBiosSarState(Device, TVRX_BIOS_SAR_STATE_CHECKING);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = TvrxQueryRegistryString(L"\\Registry\\Machine\\SYSTEM\\HardwareConfig\\Current", L"BIOSVersion",
                                     &biosVersion);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = TvrxReadParameterString(Device, L"SARService", L"BiosInfo", &biosInfo);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no BiosInfo %!STATUS!", status);
        goto Exit;
    }
    if (!RtlEqualUnicodeString(&biosVersion, &biosInfo, TRUE)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! BIOS %wZ, exported for %wZ", &biosVersion,
                    &biosInfo);
        goto Exit;
    }
    if (!NT_SUCCESS(lastStatus) || lastState != TVRX_BIOS_SAR_STATE_CURRENT) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! the last export did not complete (%!STATUS!, %u)",
                    lastStatus, lastState);
        goto Exit;
    }
    {
        UNICODE_STRING fileName = RTL_CONSTANT_STRING(TVRX_SAR_FILE_NAME);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &fileName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        FILE_NETWORK_OPEN_INFORMATION information;
        status = ZwQueryFullAttributesFile(&attributes, &information);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! no export file %!STATUS!", status);
            goto Exit;
        }
    }
    status = TvrxRecordBiosSarState(Device, TVRX_BIOS_SAR_STATE_CURRENT);
    if (NT_SUCCESS(status)) {
        needed = FALSE;
    }

Exit:
    RtlFreeUnicodeString(&biosVersion);
    TvrxFreeParameterString(&biosInfo);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! update %s", needed ? "needed" : "not needed");
    return needed;
}

_Use_decl_annotations_
NTSTATUS
TvrxWriteParameterValue(WDFDEVICE Device, PCWSTR SubkeyName, PCWSTR ValueName, ULONG ValueType, PVOID Data,
                        ULONG DataSize)
/*
 * Writes a value under the driver's Parameters\SubkeyName, creating the
 * subkey. REG_SZ takes a counted string (DataSize not examined), REG_DWORD a
 * 32-bit value of size 4; anything else is STATUS_INVALID_PARAMETER.
 * PASSIVE_LEVEL; called by the registry state and function-3 processing.
 */
{
    PAGED_CODE();

    WDFDRIVER driver = WdfDeviceGetDriver(Device);
    UNICODE_STRING subkeyName;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&subkeyName, SubkeyName);
    RtlInitUnicodeString(&valueName, ValueName);

    WDFKEY parametersKey;
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(driver, KEY_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &parametersKey);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! Parameters key %!STATUS!", status);
        return status;
    }
    WDFKEY subkey;
    status = WdfRegistryCreateKey(parametersKey, &subkeyName, KEY_WRITE, REG_OPTION_NON_VOLATILE, NULL,
                                  WDF_NO_OBJECT_ATTRIBUTES, &subkey);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %wZ key %!STATUS!", &subkeyName, status);
        WdfRegistryClose(parametersKey);
        return status;
    }

    status = STATUS_INVALID_PARAMETER;
    if (Data != NULL && ValueType == REG_SZ) {
        WDFSTRING string;
        status = WdfStringCreate((PCUNICODE_STRING)Data, WDF_NO_OBJECT_ATTRIBUTES, &string);
        if (NT_SUCCESS(status)) {
            status = WdfRegistryAssignString(subkey, &valueName, string);
            WdfObjectDelete(string);
        }
    } else if (Data != NULL && ValueType == REG_DWORD && DataSize == sizeof(ULONG)) {
        ULONG value;
        RtlCopyMemory(&value, Data, sizeof(value));
        status = WdfRegistryAssignULong(subkey, &valueName, value);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %wZ\\%wZ (type %u, %u bytes) %!STATUS!", &subkeyName,
                    &valueName, ValueType, DataSize, status);
    }

    WdfRegistryClose(subkey);
    WdfRegistryClose(parametersKey);
    return status;
}

static NTSTATUS
TvrxOpenParameterSubkey(_In_ WDFDEVICE Device, _In_z_ PCWSTR SubkeyName, _Out_ WDFKEY* ParametersKey,
                        _Out_ WDFKEY* Subkey)
/*
 * Opens the driver's Parameters key and its existing subkey SubkeyName for
 * reading. On success the caller closes both keys; otherwise neither is open.
 * PASSIVE_LEVEL; called by the parameter readers.
 */
{
    *ParametersKey = NULL;
    *Subkey = NULL;
    UNICODE_STRING subkeyName;
    RtlInitUnicodeString(&subkeyName, SubkeyName);
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(WdfDeviceGetDriver(Device), KEY_READ,
                                                         WDF_NO_OBJECT_ATTRIBUTES, ParametersKey);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! Parameters key %!STATUS!", status);
        *ParametersKey = NULL;
        return status;
    }
    status = WdfRegistryOpenKey(*ParametersKey, &subkeyName, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, Subkey);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %wZ key %!STATUS!", &subkeyName, status);
        WdfRegistryClose(*ParametersKey);
        *ParametersKey = NULL;
        *Subkey = NULL;
    }
    return status;
}

static NTSTATUS
TvrxReadParameterULong(_In_ WDFDEVICE Device, _In_z_ PCWSTR SubkeyName, _In_z_ PCWSTR ValueName, _Out_ PULONG Value)
/*
 * Reads a REG_DWORD value under the driver's Parameters\SubkeyName (which is
 * not created) into Value, left unchanged on failure.
 * PASSIVE_LEVEL; called by the update check.
 */
{
    WDFKEY parametersKey;
    WDFKEY subkey;
    NTSTATUS status = TvrxOpenParameterSubkey(Device, SubkeyName, &parametersKey, &subkey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);
    ULONG value;
    status = WdfRegistryQueryULong(subkey, &valueName, &value);
    if (NT_SUCCESS(status)) {
        *Value = value;
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %ws\\%wZ %!STATUS!", SubkeyName, &valueName, status);
    }
    WdfRegistryClose(subkey);
    WdfRegistryClose(parametersKey);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxReadParameterString(WDFDEVICE Device, PCWSTR SubkeyName, PCWSTR ValueName, PUNICODE_STRING Value)
/*
 * Reads a string value under the driver's Parameters\SubkeyName (which is not
 * created). On success Value holds a NUL-terminated copy in the driver's
 * paged pool that the caller releases with TvrxFreeParameterString; otherwise
 * it is empty.
 * PASSIVE_LEVEL; called by the update check.
 */
{
    PAGED_CODE();

    Value->Length = 0;
    Value->MaximumLength = 0;
    Value->Buffer = NULL;

    WDFKEY parametersKey;
    WDFKEY subkey;
    NTSTATUS status = TvrxOpenParameterSubkey(Device, SubkeyName, &parametersKey, &subkey);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, ValueName);
    WDFSTRING string;
    status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (NT_SUCCESS(status)) {
        status = WdfRegistryQueryString(subkey, &valueName, string);
        if (NT_SUCCESS(status)) {
            // A copy of its own outlives the string object, which goes at once.
            UNICODE_STRING text;
            WdfStringGetUnicodeString(string, &text);
            if (text.Length > MAXUSHORT - sizeof(WCHAR)) {
                status = STATUS_INTEGER_OVERFLOW;
            } else {
                USHORT size = (USHORT)(text.Length + sizeof(WCHAR));
                // ExAllocatePoolWithTag, not ExAllocatePool2: the INF installs on
                // Windows 10 1709, and ExAllocatePool2 exists from 2004. The copy
                // below writes the whole buffer, so it needs no zeroing.
                PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size, TVRX_POOL_TAG);
                if (copy == NULL) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                } else {
                    if (text.Length != 0) {
                        RtlCopyMemory(copy, text.Buffer, text.Length);
                    }
                    copy[text.Length / sizeof(WCHAR)] = L'\0';
                    Value->Buffer = copy;
                    Value->Length = text.Length;
                    Value->MaximumLength = size;
                }
            }
        }
        WdfObjectDelete(string);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %ws\\%wZ %!STATUS!", SubkeyName, &valueName, status);
    }

    WdfRegistryClose(subkey);
    WdfRegistryClose(parametersKey);
    return status;
}

_Use_decl_annotations_
VOID
TvrxFreeParameterString(PUNICODE_STRING Value)
/*
 * Releases a string TvrxReadParameterString copied into the driver's pool
 * (nothing when it is empty) and empties it.
 * PASSIVE_LEVEL; called by the readers of parameter strings.
 */
{
    PAGED_CODE();

    if (Value->Buffer != NULL) {
        ExFreePoolWithTag(Value->Buffer, TVRX_POOL_TAG);
    }
    Value->Buffer = NULL;
    Value->Length = 0;
    Value->MaximumLength = 0;
}

// RtlQueryRegistryValuesEx where the system exports it, else RtlQueryRegistryValues.
typedef NTSTATUS TVRX_QUERY_REGISTRY_VALUES(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                            PVOID Context, PVOID Environment);

_Use_decl_annotations_
NTSTATUS
TvrxQueryRegistryString(PCWSTR Path, PCWSTR ValueName, PUNICODE_STRING Value)
/*
 * Reads the string value ValueName of the absolute key Path into Value, whose
 * buffer the query allocates (the caller frees it with RtlFreeUnicodeString).
 * A missing value reads as an empty string; a value that is not a REG_SZ
 * fails, since a direct query would otherwise write its raw data over Value.
 * PASSIVE_LEVEL; called by the update check and function-3 processing.
 */
{
    PAGED_CODE();

    Value->Length = 0;
    Value->MaximumLength = 0;
    Value->Buffer = NULL;

    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = NULL;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = Value;
    table[0].DefaultType = (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    table[0].DefaultData = NULL;
    table[0].DefaultLength = 0;

    UNICODE_STRING routineName = RTL_CONSTANT_STRING(L"RtlQueryRegistryValuesEx");
    TVRX_QUERY_REGISTRY_VALUES* query = (TVRX_QUERY_REGISTRY_VALUES*)MmGetSystemRoutineAddress(&routineName);
    if (query == NULL) {
        query = RtlQueryRegistryValues;
    }
    NTSTATUS status = query(RTL_REGISTRY_ABSOLUTE, Path, table, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! %ws\\%ws %!STATUS!", Path, ValueName, status);
        RtlFreeUnicodeString(Value);
    }
    return status;
}
