/*
 * Tavrix device-mode driver: private definitions shared by the four source
 * units (driver, device, queue, appinstance): the device context, the
 * device-mode tables, the app-instance node, the notification work-item
 * context, and every routine's prototype with the IRQL it runs at.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <acpiioct.h>

#include "tvrxioctl.h"

EXTERN_C_START

//
// Pool tags, in memory order: "Tvrx" for everything the driver allocates,
// "Tagt" for the SAR export's transfer buffer.
//
#define TVRX_POOL_TAG ((ULONG)0x78727654)      // 'T' 'v' 'r' 'x'
#define TVRX_SAR_POOL_TAG ((ULONG)0x74676154)  // 'T' 'a' 'g' 't'

//
// DeviceState values. There is no state 2.
//
#define TVRX_DEVICE_STATE_CREATED 0
#define TVRX_DEVICE_STATE_PREPARED 1
#define TVRX_DEVICE_STATE_PREPARE_FAILED 3
#define TVRX_DEVICE_STATE_RELEASED 4

//
// _DSM of the device: UUID {82737E72-3A33-4C45-A9C7-57C0411A5F13}, revision 0.
//
#define TVRX_DSM_REVISION 0
#define TVRX_DSM_FUNCTION_SUPPORTED_FUNCTIONS 0
#define TVRX_DSM_FUNCTION_DEVICE_MODE 1
#define TVRX_DSM_FUNCTION_DEVICE_MODE_TABLE 2
#define TVRX_DSM_FUNCTION_BIOS_SAR_TABLE 3
#define TVRX_DSM_INPUT_SIZE 60
#define TVRX_DSM_OUTPUT_SIZE 524
#define TVRX_DSM_TIMEOUT_100NS (-30000000LL)  // 3 seconds, relative

#define TVRX_ACPI_NOTIFY_DEVICE_MODE_CHANGE 0x80

//
// Device-mode tables, filled from _DSM function 2.
//
#define TVRX_DEVICE_MODE_TABLE_COUNT_MAX 3
#define TVRX_DEVICE_MODE_ENTRIES_MAX 32
#define TVRX_DEVICE_MODE_MATCH_MAX 31  // modes above this are never matched

typedef struct _TVRX_DEVICE_MODE_ENTRY {
    UCHAR DeviceMode;
    ULONG Value1;
    ULONG Value2;
    ULONG Value3;
} TVRX_DEVICE_MODE_ENTRY, *PTVRX_DEVICE_MODE_ENTRY;

typedef struct _TVRX_DEVICE_MODE_TABLE {
    UCHAR TableTag;
    UCHAR MaxDeviceMode;
    ULONG EntryCount;
    TVRX_DEVICE_MODE_ENTRY Entries[TVRX_DEVICE_MODE_ENTRIES_MAX];
} TVRX_DEVICE_MODE_TABLE, *PTVRX_DEVICE_MODE_TABLE;

//
// The per-device state. AppInstanceListLock guards AppInstanceListHead and
// every node's ClientEvent; every other field is one aligned value written
// without a lock (RegulatoryType is exchanged atomically).
//
// Reads of the device mode may overlap (two notification work items). A
// notification's read takes a ticket from DeviceModeTicket when the
// notification arrives, any other store of the mode when it stores; a mode is stored
// only when its ticket is newer than the one in DeviceModeRecord (ticket in
// the high half, mode in the low half, changed only by compare-exchange), and
// CurrentDeviceMode follows DeviceModeRecord.
//
typedef struct _TVRX_DEVICE_CONTEXT {
    WDFSPINLOCK AppInstanceListLock;
    ULONG DeviceState;
    ULONG CurrentDeviceMode;
    BOOLEAN DeviceModeTablesValid;
    TVRX_DEVICE_MODE_TABLE DeviceModeTables[TVRX_DEVICE_MODE_TABLE_COUNT_MAX];
    ULONG SarTablePhysicalAddress;
    ULONG SarTableLength;
    BOOLEAN AcpiInterfaceAcquired;
    BOOLEAN AcpiNotificationsRegistered;
    ACPI_INTERFACE_STANDARD2 AcpiInterface;
    ULONG RegulatoryType;
    LIST_ENTRY AppInstanceListHead;
    LONG DeviceModeTicket;
    LONG64 DeviceModeRecord;
    BOOLEAN HardwarePrepared;  // a successful prepare-hardware with no release-hardware since
    //
    // Device-mode reads owed to notifications, guarded by ModeReadLock. A
    // notification makes a read pending (with its ticket, replacing an older
    // pending one: the read that takes it starts after the notification, so
    // it finds the newest mode). A work item takes the pending read when it
    // starts and again each time it finishes one, until none is pending. At
    // most TVRX_MODE_READ_ITEMS_MAX work items exist at once; one not yet
    // started (ModeReadItemQueued) covers every notification that follows.
    //
    WDFSPINLOCK ModeReadLock;
    BOOLEAN ModeReadPending;
    BOOLEAN ModeReadItemQueued;
    LONG PendingModeReadTicket;
    ULONG ModeReadItems;
    //
    // The gate of the notification handler (see TVRX_NOTIFY_GATE).
    //
    struct _TVRX_NOTIFY_GATE* NotifyGate;
} TVRX_DEVICE_CONTEXT, *PTVRX_DEVICE_CONTEXT;

//
// The ACPI driver may still call the handler after its unregister returned
// (a call it had already begun), even after the device is deleted. So the
// handler's context is this gate, not the device: it is allocated from pool
// when the device is added, kept on the driver's list of gates (Next), and
// freed only when the driver unloads. D0 exit closes Open first,
// unregisters, and then waits until CallsInFlight (the handler calls inside
// the driver) is 0, woken by CallsDone. A call that finds the gate closed
// touches nothing but the gate; Device is used only while it is open.
//
typedef struct _TVRX_NOTIFY_GATE {
    struct _TVRX_NOTIFY_GATE* Next;
    WDFDEVICE Device;
    LONG Open;
    LONG CallsInFlight;
    KEVENT CallsDone;
} TVRX_NOTIFY_GATE, *PTVRX_NOTIFY_GATE;

// The gates of every device the driver added (a list pushed by device add,
// taken whole at unload).
extern PTVRX_NOTIFY_GATE TvrxNotifyGates;

// One read running and one queued behind it.
#define TVRX_MODE_READ_ITEMS_MAX 2

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TVRX_DEVICE_CONTEXT, TvrxGetDeviceContext)

//
// The context of one notification work item.
//
typedef struct _TVRX_ACPI_NOTIFICATION_CONTEXT {
    WDFDEVICE Device;
    ULONG NotifyValue;
} TVRX_ACPI_NOTIFICATION_CONTEXT, *PTVRX_ACPI_NOTIFICATION_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TVRX_ACPI_NOTIFICATION_CONTEXT, TvrxGetNotificationContext)

//
// The context of every request of the device. An event registration carries
// the client's event here from EvtIoInCallerContext, where the handle was
// resolved in the client's process, to its handler, which takes it over; a
// request that never reaches the handler gives it back in its cleanup.
//
typedef struct _TVRX_REQUEST_CONTEXT {
    PKEVENT ClientEvent;
} TVRX_REQUEST_CONTEXT, *PTVRX_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TVRX_REQUEST_CONTEXT, TvrxGetRequestContext)

//
// One app instance per open handle on the device, linked into
// AppInstanceListHead (newest first). NodeMemory is the framework memory
// object that holds the node, deleted when the node is freed.
//
typedef struct _TVRX_APP_INSTANCE_NODE {
    WDFFILEOBJECT FileObject;
    LIST_ENTRY ListEntry;
    PKEVENT ClientEvent;
    WDFMEMORY NodeMemory;
} TVRX_APP_INSTANCE_NODE, *PTVRX_APP_INSTANCE_NODE;

//
// BiosSarState: the driver-wide state of the SAR export, mirrored into the
// registry value of the same name.
//
#define TVRX_BIOS_SAR_STATE_CHECKING 0
#define TVRX_BIOS_SAR_STATE_CURRENT 1
#define TVRX_BIOS_SAR_STATE_BAD_RESULT 3
#define TVRX_BIOS_SAR_STATE_READ_FAILED 4
#define TVRX_BIOS_SAR_STATE_WRITE_FAILED 5

extern ULONG BiosSarState;

// ---------------------------------------------------------------- driver.cpp (PASSIVE_LEVEL)

DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD TavrixEvtDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TavrixEvtDriverContextCleanup;

// ---------------------------------------------------------------- device.cpp

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TavrixCreateDevice(_Inout_ PWDFDEVICE_INIT DeviceInit);

EVT_WDF_DEVICE_PREPARE_HARDWARE TvrxWdfEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE TvrxWdfEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY TvrxWdfEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT TvrxWdfEvtDeviceD0Exit;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxRegisterForAcpiNotifications(_In_ WDFDEVICE Device);
// Owes the device a mode read; TRUE when the caller must queue a work item for it.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN TvrxOweDeviceModeRead(_Inout_ PTVRX_DEVICE_CONTEXT Context);
// Takes the pending mode read for a work item; FALSE (and the item is done) when none is pending.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN TvrxTakeDeviceModeRead(_Inout_ PTVRX_DEVICE_CONTEXT Context,
                                                                  _In_ BOOLEAN Starting, _Out_ PLONG Ticket);
// The ACPI driver's notification handler (PDEVICE_NOTIFY_CALLBACK2).
_IRQL_requires_max_(DISPATCH_LEVEL) VOID AcpiTvrxNotifyCallback(_In_ PVOID NotificationContext, _In_ ULONG NotifyCode);
EVT_WDF_WORKITEM AcpiTvrxNotificationWorker;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxEvaluateDeviceModeDsm(_In_ WDFDEVICE Device, _In_ ULONG FunctionIndex,
                                                                 _In_ ULONG TableIndex,
                                                                 _Out_ WDFMEMORY* ResponseMemory);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxEvaluateDsmFunction(_In_ WDFDEVICE Device, _In_ ULONG FunctionIndex);
// Reads the device mode (_DSM function 1) for a read that took Ticket.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxReadDeviceMode(_In_ WDFDEVICE Device, _In_ LONG Ticket);
// Hands out the ticket of the next device-mode read, and stores what a read found.
_IRQL_requires_max_(DISPATCH_LEVEL) LONG TvrxTakeDeviceModeTicket(_Inout_ PTVRX_DEVICE_CONTEXT Context);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN TvrxStoreDeviceMode(_Inout_ PTVRX_DEVICE_CONTEXT Context,
                                                               _In_ LONG Ticket, _In_ ULONG DeviceMode);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxDsmReadTable(_In_ WDFDEVICE Device);

// Walks a function-2 result of BufferSize bytes into Table (whose EntryCount is set).
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxParseDeviceModeInfoFromBuf(_Inout_ PTVRX_DEVICE_MODE_TABLE Table,
                                                                      _In_reads_bytes_(BufferSize) const UCHAR* Buffer,
                                                                      _In_ SIZE_T BufferSize);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxProcessDsmResponseBuffer(_In_ WDFDEVICE Device, _In_ LONG FunctionIndex,
                                                                    _In_ LONG TableIndex,
                                                                    _In_opt_ WDFMEMORY ResponseMemory);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID TvrxTraceHexDump(_In_reads_bytes_(Count) const UCHAR* Data, _In_ ULONG Count,
                                                          _In_z_ PCSTR Label);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxExportBiosSarTable(_In_ ULONG PhysicalAddress, _In_ ULONG64 Length);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxCreateDirectory(_In_z_ PCWSTR Path);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxReadPhysicalMemory(_Out_writes_bytes_(ByteCount) PVOID Destination,
                                                              _In_ ULONG64 ByteCount, _In_ ULONG64 PhysicalAddress,
                                                              _Out_ PULONG64 BytesCopied);

_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN TvrxIsBiosSarUpdateNeeded(_In_ WDFDEVICE Device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxWriteParameterValue(_In_ WDFDEVICE Device, _In_z_ PCWSTR SubkeyName,
                                                               _In_z_ PCWSTR ValueName, _In_ ULONG ValueType,
                                                               _In_ PVOID Data, _In_ ULONG DataSize);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxReadParameterString(_In_ WDFDEVICE Device, _In_z_ PCWSTR SubkeyName,
                                                               _In_z_ PCWSTR ValueName, _Out_ PUNICODE_STRING Value);
_IRQL_requires_(PASSIVE_LEVEL) VOID TvrxFreeParameterString(_Inout_ PUNICODE_STRING Value);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxQueryRegistryString(_In_z_ PCWSTR Path, _In_z_ PCWSTR ValueName,
                                                               _Out_ PUNICODE_STRING Value);

// Sets the event of every app instance; at <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS TvrxSignalDeviceModeChange(_In_opt_ PTVRX_DEVICE_CONTEXT DeviceContext);

// ---------------------------------------------------------------- queue.cpp

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TavrixQueueInitialize(_In_ WDFDEVICE Device);
EVT_WDF_IO_IN_CALLER_CONTEXT TavrixEvtIoInCallerContext;
EVT_WDF_OBJECT_CONTEXT_CLEANUP TavrixEvtRequestCleanup;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL TavrixEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP TavrixEvtIoStop;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxSetRegulatoryType(_In_ WDFREQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxHandleIoctlGetDeviceModeEntry(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                                                         _In_ size_t OutputBufferLength);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxHandleIoctlGetDeviceModeTableInfo(_In_ WDFREQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxHandleIoctlSetEvent(_In_ WDFREQUEST Request);

// ---------------------------------------------------------------- appinstance.cpp

EVT_WDF_DEVICE_FILE_CREATE TvrxEvtAppDeviceFileCreate;
EVT_WDF_FILE_CLOSE TvrxEvtAppFileClose;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxAddAppInstanceToList(_In_ WDFDEVICE Device, _In_ WDFFILEOBJECT FileObject);
_IRQL_requires_(PASSIVE_LEVEL) PTVRX_APP_INSTANCE_NODE TvrxGetNewListNode(_In_ WDFDEVICE Device,
                                                                         _In_ WDFFILEOBJECT FileObject);
_IRQL_requires_max_(DISPATCH_LEVEL) PTVRX_APP_INSTANCE_NODE TvrxSearchObjInstance(_In_ WDFFILEOBJECT FileObject);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxRemoveAppInstanceFromList(_In_ WDFFILEOBJECT FileObject);

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TvrxModifyClientEventList(_In_ WDFREQUEST Request);
_IRQL_requires_(PASSIVE_LEVEL) PKEVENT TvrxGetEventFromRequest(_In_ WDFREQUEST Request);

EXTERN_C_END
