/*
 * mingw-w64's wdmguid.h, followed by the interface GUID its DDK lacks: the
 * ACPI standard interface v2, as the WDK's wdmguid.h defines it.
 */
#pragma once
#include_next <wdmguid.h>

DEFINE_GUID(GUID_ACPI_INTERFACE_STANDARD2, 0xe8695f63L, 0x1831, 0x4870, 0xa8, 0xcf, 0x9c, 0x2f, 0x03, 0xf9, 0xdc, 0xb5);
