/*
 * The KMDF wdf.h, with wdfdevice.h (and the two headers that need it)
 * included after the rest: wdfdevice.h names enum _WDF_REQUEST_TYPE before
 * wdfrequest.h defines it, which MSVC accepts and GCC does not. Each header
 * keeps its own guard and extern "C" block, so only the order changes.
 */
#pragma once
#define _WDFDEVICE_H_
#define _WDFFDO_H_
#define _WDFBUGCODES_H_
#include_next <wdf.h>
#undef _WDFDEVICE_H_
#undef _WDFFDO_H_
#undef _WDFBUGCODES_H_
#include <wdfdevice.h>
#include <wdffdo.h>
#include <wdfbugcodes.h>
