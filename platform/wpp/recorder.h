/*
 * The in-flight recorder: a bounded log per driver that every trace reaches,
 * whatever a live session asks for. The newest records overwrite the oldest.
 * A stopped log keeps its contents so that it can still be read after the
 * driver is gone; the next start of the same driver replaces it.
 */
#pragma once
#include <wdm.h>

#include "wpp/wpp.h"

// Starts the driver's log (named after the service in the registry path) and
// returns its context, or NULL when no log could be made.
PVOID WppAutoLogStart(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
// Appends a record and sets its sequence number. Any IRQL.
VOID WppAutoLogTrace(PVOID AutoLogContext, plat::trace::Record* Record);
// Stops the log; its contents stay readable.
VOID WppAutoLogStop(PDRIVER_OBJECT DriverObject, PVOID AutoLogContext);
