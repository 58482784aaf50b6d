/* Interface and class GUIDs of the kernel's bus drivers. */
/* No include guard: included again after <initguid.h>, it defines the GUIDs. */
#include <guiddef.h>

DEFINE_GUID(GUID_ACPI_INTERFACE_STANDARD2, 0xe8695f63L, 0x1831, 0x4870, 0xa8, 0xcf, 0x9c, 0x2f, 0x03, 0xf9, 0xdc, 0xb5);
