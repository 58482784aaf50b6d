/*
 * Driver entry, device add and the driver object's cleanup.
 */
#include "tvrx.h"
#include "trace.h"
#include "driver.tmh"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, TavrixEvtDeviceAdd)
#pragma alloc_text(PAGE, TavrixEvtDriverContextCleanup)
#endif

PTVRX_NOTIFY_GATE TvrxNotifyGates = NULL;

_Use_decl_annotations_
NTSTATUS
DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
/*
 * Starts tracing and creates the framework driver object.
 * PASSIVE_LEVEL; called once by the framework's start-up stub at load.
 */
{
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! Entry");

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = TavrixEvtDriverContextCleanup;

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TavrixEvtDeviceAdd);
    config.DriverPoolTag = TVRX_POOL_TAG;

    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WdfDriverCreate failed %!STATUS!", status);
        // No driver object, so no cleanup callback will stop tracing: stop it here.
        WPP_CLEANUP(DriverObject);
        return status;
    }
    return status;
}

_Use_decl_annotations_
VOID
TavrixEvtDriverContextCleanup(WDFOBJECT DriverObject)
/*
 * Frees the devices' notification gates and stops tracing when the
 * framework deletes the driver object at unload; the framework deletes the
 * driver's child objects itself.
 * PASSIVE_LEVEL; called by the framework.
 */
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! Entry");
    // Every device is gone, and with it every registration of the notification handler.
    PTVRX_NOTIFY_GATE gate = (PTVRX_NOTIFY_GATE)InterlockedExchangePointer((PVOID volatile*)&TvrxNotifyGates, NULL);
    while (gate != NULL) {
        PTVRX_NOTIFY_GATE next = gate->Next;
        ExFreePoolWithTag(gate, TVRX_POOL_TAG);
        gate = next;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC! stopping tracing");
    WPP_CLEANUP(WdfDriverWdmGetDriverObject((WDFDRIVER)DriverObject));
}

_Use_decl_annotations_
NTSTATUS
TavrixEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
/*
 * Creates the device for a new device instance.
 * PASSIVE_LEVEL; called by the framework once per device instance.
 */
{
    UNREFERENCED_PARAMETER(Driver);
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! Entry");
    NTSTATUS status = TavrixCreateDevice(DeviceInit);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "%!FUNC! Exit %!STATUS!", status);
    return status;
}
