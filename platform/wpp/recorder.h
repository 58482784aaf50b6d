/*
 * The in-flight recorder: a bounded log per driver that every trace reaches,
 * whatever a live session asks for. The newest records overwrite the oldest.
 * Appending takes no lock: each writer thread fills a ring of its own, and
 * readers merge the rings by time.
 * A stopped log keeps its contents so that it can still be read after the
 * driver is gone; the next start of the same driver replaces it.
 */
#pragma once
#include <wdm.h>
#include <stdarg.h>

#include <string>

#include "wpp/capture.h"
#include "wpp/wpp.h"

namespace plat::trace {

// One trace statement of a driver: its format at one line of one routine,
// with the plan of its arguments, made once. A site lives as long as its
// driver's trace control block, and the block's log formats every trace kept
// for later before the block goes (WppAutoLogStop).
struct TraceSite {
    GUID message{};
    ULONG line = 0;
    char unit[24] = {};
    char function[64] = {};
    std::string format;
    ArgumentPlan plan;  // plan.capturable: the site's traces may be kept for later
    const char* const* flagNames = nullptr;
    size_t flagCount = 0;
};

}  // namespace plat::trace

// Starts the driver's log (named after the service in the registry path) and
// returns its context, or NULL when no log could be made.
PVOID WppAutoLogStart(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
// Appends a record and sets its sequence number (its place among all records
// written so far, exact while one thread traces at a time). Any IRQL.
VOID WppAutoLogTrace(PVOID AutoLogContext, plat::trace::Record* Record);
// Appends a trace of a site with a capture of its arguments, formatted (and
// its time put on the machine's clock) when the log is read or stopped, or at
// once when the capture cannot hold them. Any IRQL; traces of the log may not
// race with its stop.
VOID WppAutoLogTraceDeferred(PVOID AutoLogContext, const plat::trace::TraceSite* Site, UCHAR Level, ULONG Flags,
                             va_list Args);
// Stops the log; its contents stay readable.
VOID WppAutoLogStop(PDRIVER_OBJECT DriverObject, PVOID AutoLogContext);
