/*
 * The tracing control plane behind the kernel services: which providers are
 * registered (classic or through WMI), the one live session, and enabling a
 * provider's callback when the two meet. Provider callbacks run with the
 * control lock held, so a provider that unregisters waits for a callback in
 * progress and its context may be freed as soon as unregistering returns.
 */
#pragma once
#include "wpp/etw.h"
#include "wpp/wpp.h"

namespace plat::trace::control {

// Adds a registration; control may be null for a WMI registrant that traces
// nothing. When a session is on, the callback is enabled before this returns.
// Returns 0 when the WMI registrant is registered already.
REGHANDLE Add(const GUID* control, Registration how, PETW_CLASSIC_CALLBACK callback, PVOID context,
              const void* wmiRegistrant);
// Removes a registration by handle or by WMI registrant; false when there is none.
bool Remove(REGHANDLE handle);
bool RemoveWmi(const void* registrant);

// The session a logger handle names, if it is still the live one.
bool LoggerLive(TRACEHANDLE logger);
// Hands a record to the live session named by the logger handle.
NTSTATUS Deliver(TRACEHANDLE logger, const Record& record);

}  // namespace plat::trace::control
