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
