/*
 * A connection manager's use of the Tavrix device, written against the Win32
 * API: find the device through its interface, open it, register an
 * auto-reset event, read the device-mode entry, select a regulatory type,
 * and read the entry again each time the driver sets the event.
 *
 * Include <windows.h> first.
 */
#pragma once

#include "tvrxioctl.h"

// Called with each entry read; returns TRUE to keep following the device,
// FALSE to stop.
typedef BOOL TVRX_CLIENT_ENTRY_CALLBACK(PVOID Context, const TVRX_DEVICE_MODE_ENTRY_INFO* Entry);

typedef struct _TVRX_CLIENT_OPTIONS {
    ULONG RegulatoryType;        // selected after the first read (0, 1 or 2)
    DWORD WaitMilliseconds;      // the longest wait for the next signal (INFINITE: no limit)
    TVRX_CLIENT_ENTRY_CALLBACK* OnEntry;
    PVOID Context;
} TVRX_CLIENT_OPTIONS;

// Runs until OnEntry returns FALSE (ERROR_SUCCESS), or returns the Win32
// error of the first step that failed (ERROR_TIMEOUT when no signal came
// within WaitMilliseconds). Everything it opened is closed again.
DWORD TvrxClientRun(const TVRX_CLIENT_OPTIONS* Options);
