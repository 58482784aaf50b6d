/*
 * A connection manager's use of the Tavrix device, written against the Win32
 * API: it follows the device as it comes and goes. It registers for the
 * arrival of the device interface, finds the device through its interface
 * and opens it (or waits for it to arrive), registers for the removal events
 * of its handle, registers an auto-reset event with the driver, reads the
 * device-mode entry, selects a regulatory type, and reads the entry again
 * each time the driver sets the event.
 *
 * An orderly removal (a disable, a driver update) asks first: the run closes
 * its handle so that the removal goes through, and opens the device again
 * when its interface arrives (or at once, when the removal was vetoed). A
 * surprise removal ends the wait on the driver's event the same way. A
 * service passes its stop event to end the run at shutdown.
 *
 * Include <windows.h> first.
 */
#pragma once

#include <cfgmgr32.h>

#include "tvrxioctl.h"

// Called with each entry read; returns TRUE to keep following the device,
// FALSE to stop.
typedef BOOL TVRX_CLIENT_ENTRY_CALLBACK(PVOID Context, const TVRX_DEVICE_MODE_ENTRY_INFO* Entry);

typedef enum _TVRX_CLIENT_EVENT {
    TvrxClientDeviceOpened,   // the device was opened (again), before its first entry is read
    TvrxClientDeviceClosed,   // the handle was closed for a removal; the run waits for the device
} TVRX_CLIENT_EVENT;

// Told when the run opens the device or lets it go; called on the run's thread.
typedef VOID TVRX_CLIENT_EVENT_CALLBACK(PVOID Context, TVRX_CLIENT_EVENT Event);

typedef struct _TVRX_CLIENT_OPTIONS {
    ULONG RegulatoryType;        // selected after the first read of each open (0, 1 or 2)
    DWORD WaitMilliseconds;      // the longest wait for a signal or for the device (INFINITE: no limit)
    HANDLE StopEvent;            // optional: once it is set the run ends (ERROR_SUCCESS)
    TVRX_CLIENT_ENTRY_CALLBACK* OnEntry;
    TVRX_CLIENT_EVENT_CALLBACK* OnEvent;  // optional
    PVOID Context;
} TVRX_CLIENT_OPTIONS;

// Runs until OnEntry returns FALSE or the stop event is set (ERROR_SUCCESS),
// or returns the Win32 error of the first step that failed (ERROR_TIMEOUT
// when nothing came within WaitMilliseconds; a configuration manager failure
// as CM_MapCrToWin32Err maps it). Everything it opened and registered is
// closed again.
DWORD TvrxClientRun(const TVRX_CLIENT_OPTIONS* Options);
