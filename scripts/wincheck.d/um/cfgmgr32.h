/*
 * mingw-w64's cfgmgr32.h, followed by the three routines it declares no
 * prototype for although its types and libcfgmgr32.a are there: the
 * notification registration (Windows 8 and later) and the mapping of a
 * configuration manager code to a Win32 error, as Microsoft documents them.
 * wincheck puts this folder on the include path only when the tool chain
 * lacks them.
 */
#pragma once
#include_next <cfgmgr32.h>

#ifdef __cplusplus
extern "C" {
#endif

DECLSPEC_IMPORT CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                                          PCM_NOTIFY_CALLBACK pCallback,
                                                          PHCMNOTIFICATION pNotifyContext);
DECLSPEC_IMPORT CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);
DECLSPEC_IMPORT DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET CmReturnCode, DWORD DefaultErr);

#ifdef __cplusplus
}
#endif
