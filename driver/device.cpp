/*
 * The device: creation and context, Plug and Play and power callbacks, ACPI
 * device-mode notifications, _DSM evaluation, device-mode tables, response
 * processing, the SAR table export, its registry state, and the signalling of
 * client events.
 */
#include <initguid.h>  // this unit defines the interface GUIDs it uses
#include "tvrx.h"
#include <wdmguid.h>
#include "trace.h"
#include "device.tmh"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, TavrixCreateDevice)
#pragma alloc_text(PAGE, TvrxWdfEvtDevicePrepareHardware)
#pragma alloc_text(PAGE, AcpiTvrxNotificationWorker)
#endif

// ---------------------------------------------------------------- device creation

_Use_decl_annotations_
NTSTATUS
TavrixCreateDevice(PWDFDEVICE_INIT DeviceInit)
/*
 * Creates the device with its context, publishes the device interface,
 * creates the default queue and the app-instance lock, and empties the list.
 * Only a failure of the device or of the lock fails the add: a device without
 * interface or queue still starts and exports its tables.
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
    }

    InitializeListHead(&context->AppInstanceListHead);
    return status;
}

// ---------------------------------------------------------------- client signalling

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

    NTSTATUS status = WdfFdoQueryForInterface(Device, &GUID_ACPI_INTERFACE_STANDARD2,
                                              (PINTERFACE)&context->AcpiInterface, sizeof(ACPI_INTERFACE_STANDARD2),
                                              ACPI_INTERFACE_VERSION, NULL);
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

    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_PREPARED);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;

Failed:
    WriteULongNoFence(&context->CurrentDeviceMode, 0);
    WriteULongNoFence(&context->DeviceState, TVRX_DEVICE_STATE_PREPARE_FAILED);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! failed %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
/*
 * Closes the device to new clients. Open clients, the tables and the ACPI
 * interface stay as they are.
 * PASSIVE_LEVEL; called by the framework at stop and removal.
 */
{
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    WriteULongNoFence(&TvrxGetDeviceContext(Device)->DeviceState, TVRX_DEVICE_STATE_RELEASED);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
/*
 * Switches device-mode notifications on; a failure keeps the device out of D0.
 * PASSIVE_LEVEL; called by the framework on every entry to D0.
 */
{
    UNREFERENCED_PARAMETER(PreviousState);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    NTSTATUS status = TvrxRegisterForAcpiNotifications(Device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "notification registration failed %!STATUS!", status);
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;
}

_Use_decl_annotations_
NTSTATUS
TvrxWdfEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
/*
 * Switches device-mode notifications off and closes the device to new
 * clients. Open clients keep their instances and events.
 * PASSIVE_LEVEL; called by the framework on every exit from D0.
 */
{
    UNREFERENCED_PARAMETER(TargetState);

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! Entry");
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    if (ReadBooleanNoFence(&context->AcpiNotificationsRegistered)) {
        context->AcpiInterface.UnregisterForDeviceNotifications(context->AcpiInterface.Context);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "ACPI notifications unregistered");
        WriteBooleanNoFence(&context->AcpiNotificationsRegistered, FALSE);
    }
    if (IsListEmpty(&context->AppInstanceListHead)) {
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
 * Registers AcpiTvrxNotifyCallback with the ACPI interface, once.
 * PASSIVE_LEVEL; called from D0 entry.
 */
{
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(Device);

    if (!ReadBooleanNoFence(&context->AcpiInterfaceAcquired)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! no ACPI interface");
        return STATUS_UNSUCCESSFUL;
    }
    if (context->AcpiInterface.RegisterForDeviceNotifications == NULL) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC! interface cannot register notifications");
        return STATUS_UNSUCCESSFUL;
    }
    if (ReadBooleanNoFence(&context->AcpiNotificationsRegistered)) {
        return STATUS_SUCCESS;
    }

    NTSTATUS status = context->AcpiInterface.RegisterForDeviceNotifications(context->AcpiInterface.Context,
                                                                            AcpiTvrxNotifyCallback, Device);
    WriteBooleanNoFence(&context->AcpiNotificationsRegistered, NT_SUCCESS(status) ? TRUE : FALSE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "RegisterForDeviceNotifications failed %!STATUS!", status);
    }
    return status;
}

_Use_decl_annotations_
VOID
AcpiTvrxNotifyCallback(PVOID NotificationContext, ULONG NotifyCode)
/*
 * Hands the notification to a work item of its own; all real work happens
 * there at PASSIVE_LEVEL. A notification whose work item cannot be created
 * is lost.
 * <= DISPATCH_LEVEL; called by the ACPI driver for each Notify on the device.
 */
{
    WDFDEVICE device = (WDFDEVICE)NotificationContext;

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, AcpiTvrxNotificationWorker);
    config.AutomaticSerialization = TRUE;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TVRX_ACPI_NOTIFICATION_CONTEXT);
    attributes.ParentObject = device;

    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "notification 0x%x dropped: WdfWorkItemCreate %!STATUS!",
                    NotifyCode, status);
        return;
    }

    PTVRX_ACPI_NOTIFICATION_CONTEXT notification = TvrxGetNotificationContext(workItem);
    notification->Device = device;
    notification->NotifyValue = NotifyCode;
    WdfWorkItemEnqueue(workItem);
}

_Use_decl_annotations_
VOID
AcpiTvrxNotificationWorker(WDFWORKITEM WorkItem)
/*
 * For a device-mode change, re-reads the device mode and wakes every client,
 * also when the read failed (the clients then read the mode they had).
 * PASSIVE_LEVEL; runs on a system worker thread, one run per notification.
 */
{
    PAGED_CODE();

    PTVRX_ACPI_NOTIFICATION_CONTEXT notification = TvrxGetNotificationContext(WorkItem);
    PTVRX_DEVICE_CONTEXT context = TvrxGetDeviceContext(notification->Device);

    if (notification->NotifyValue == TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE) {
        NTSTATUS status = TvrxEvaluateDsmFunction(notification->Device, TVRX_DSM_FUNCTION_DEVICE_MODE);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "device mode read failed %!STATUS!", status);
        }
        TvrxSignalDeviceModeChange(context);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "unexpected notification 0x%x", notification->NotifyValue);
    }

    WdfObjectDelete(WorkItem);
}

// ---------------------------------------------------------------- firmware path (being written)
// Temporary definitions so the image links while the _DSM, table, SAR export
// and registry routines are written; every one reports STATUS_NOT_IMPLEMENTED.

ULONG BiosSarState;

_Use_decl_annotations_
NTSTATUS
TvrxEvaluateDsmFunction(WDFDEVICE Device, ULONG FunctionIndex)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(FunctionIndex);
    return STATUS_NOT_IMPLEMENTED;
}

_Use_decl_annotations_
NTSTATUS
TvrxDsmReadTable(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
    return STATUS_NOT_IMPLEMENTED;
}

_Use_decl_annotations_
BOOLEAN
TvrxIsBiosSarUpdateNeeded(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
    return FALSE;
}
