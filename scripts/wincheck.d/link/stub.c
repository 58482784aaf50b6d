/*
 * The framework's side of the driver's entry, for the Windows check's link
 * only: a WDK build links the WDK's own WdfDriverEntry.lib in its place, and
 * this file is never part of a shipped driver.
 *
 * It defines what the KMDF headers leave to that library and the driver
 * refers to (WdfFunctions_01015, WdfDriverGlobals, WdfDriverMiniportUnloadOverride)
 * and the image's entry point: bind to the framework version the driver was
 * built for through the framework loader (WDFLDR.SYS), run DriverEntry, and
 * put an unload routine first in the unload chain that unbinds again. The
 * loader's records below are what its interface declares (WDF_VERSION,
 * WDF_BIND_INFO, WdfVersionBind/WdfVersionUnbind); the KMDF headers give
 * the table's size (WdfFunctionTableNumEntries) and the globals' type.
 *
 * It also stands in for the one routine of the WDK's wdmsec.lib the driver
 * calls, WdmlibIoValidateDeviceIoControlAccess (wdmsec.h names
 * IoValidateDeviceIoControlAccess so), written from its documentation: a
 * user-mode device control passes only if the I/O manager granted the
 * handle the access asked (SL_READ_ACCESS_GRANTED, SL_WRITE_ACCESS_GRANTED
 * in the stack location's flags); a kernel-mode one always passes.
 */
#include <ntddk.h>
#include <wdf.h>

// The framework loader's interface.
typedef struct _TVRX_STUB_WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} TVRX_STUB_WDF_VERSION;

typedef struct _TVRX_STUB_WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    TVRX_STUB_WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;     // the loader stores the framework's table here
    PVOID Module;           // the loader's own
} TVRX_STUB_WDF_BIND_INFO;

__declspec(dllimport) NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                              TVRX_STUB_WDF_BIND_INFO* BindInfo, PVOID* ComponentGlobals);
__declspec(dllimport) NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, TVRX_STUB_WDF_BIND_INFO* BindInfo,
                                                PVOID ComponentGlobals);

DRIVER_INITIALIZE DriverEntry;
DRIVER_INITIALIZE FxDriverEntry;

const WDFFUNC* WdfFunctions_01015;
PWDF_DRIVER_GLOBALS WdfDriverGlobals;
WDFFUNC WdfDriverMiniportUnloadOverride;

static WCHAR StubComponent[] = L"KmdfLibrary";
static TVRX_STUB_WDF_BIND_INFO StubBindInfo = {
    sizeof(TVRX_STUB_WDF_BIND_INFO), StubComponent, {KMDF_VERSION_MAJOR, KMDF_VERSION_MINOR, 0},
    WdfFunctionTableNumEntries, (WDFFUNC*)&WdfFunctions_01015, NULL};
static UNICODE_STRING StubRegistryPath;
static WCHAR StubRegistryPathBuffer[260];
static PDRIVER_UNLOAD StubDriverUnload;

// Runs the driver's own unload routine, if it has one, then unbinds.
static VOID StubUnload(PDRIVER_OBJECT DriverObject)
{
    if (StubDriverUnload != NULL) {
        StubDriverUnload(DriverObject);
    }
    WdfVersionUnbind(&StubRegistryPath, &StubBindInfo, WdfDriverGlobals);
}

// The image's entry point (PASSIVE_LEVEL, called by the I/O manager once).
__attribute__((section("INIT"))) NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;

    // The loader keeps the path for the unbind; the caller's copy goes away.
    if (RegistryPath->Length > sizeof(StubRegistryPathBuffer)) {
        return STATUS_NAME_TOO_LONG;
    }
    StubRegistryPath.Buffer = StubRegistryPathBuffer;
    StubRegistryPath.MaximumLength = sizeof(StubRegistryPathBuffer);
    RtlCopyUnicodeString(&StubRegistryPath, RegistryPath);

    status = WdfVersionBind(DriverObject, &StubRegistryPath, &StubBindInfo, (PVOID*)&WdfDriverGlobals);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        WdfVersionUnbind(&StubRegistryPath, &StubBindInfo, WdfDriverGlobals);
        return status;
    }
    if (WdfDriverGlobals->DisplaceDriverUnload) {
        StubDriverUnload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = StubUnload;
    }
    return status;
}

// wdmsec.lib's access check of a device control (PASSIVE_LEVEL or below DISPATCH_LEVEL, from a dispatch path).
NTSTATUS WdmlibIoValidateDeviceIoControlAccess(PIRP Irp, ULONG RequiredAccess)
{
    PIO_STACK_LOCATION stack;

    if (Irp == NULL || (RequiredAccess & ~(FILE_READ_ACCESS | FILE_WRITE_ACCESS)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL && stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->RequestorMode == KernelMode) {
        return STATUS_SUCCESS;
    }
    if ((RequiredAccess & FILE_READ_ACCESS) != 0 && (stack->Flags & SL_READ_ACCESS_GRANTED) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if ((RequiredAccess & FILE_WRITE_ACCESS) != 0 && (stack->Flags & SL_WRITE_ACCESS_GRANTED) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}
