/*
 * WMI registration. When a registrant is registered, the system asks it what
 * it provides; a trace provider answers with its control GUID and the callback
 * that sessions enable. Registrants leave that answer here before calling
 * IoWMIRegistrationControl.
 */
#pragma once
#include "wpp/etw.h"

namespace plat::wmi {

void SetTraceInfo(const void* registrant, const GUID& control, PETW_CLASSIC_CALLBACK callback, PVOID context);
void ClearTraceInfo(const void* registrant);

}  // namespace plat::wmi
