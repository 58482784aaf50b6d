/*
 * Tavrix device-mode driver: the interface for user-mode clients.
 *
 * Find the device through the device interface class GUID_DEVINTERFACE_TAVRIX,
 * open it, and use the four I/O controls below (all METHOD_BUFFERED,
 * FILE_ANY_ACCESS). Every record is little-endian with the sizes asserted at
 * the end of this header; the same layout holds for 32- and 64-bit callers.
 *
 *   IOCTL_TVRX_SET_REGULATORY_TYPE         in:  ULONG regulatory type (0, 1 or 2)
 *   IOCTL_TVRX_GET_DEVICE_MODE_ENTRY       out: TVRX_DEVICE_MODE_ENTRY_INFO
 *   IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO  in:  ULONG table index (0, 1 or 2)
 *                                          out: TVRX_DEVICE_MODE_TABLE_INFO
 *   IOCTL_TVRX_SET_EVENT                   in:  TVRX_SET_EVENT_INPUT (an event handle
 *                                               of the caller, widened to 64 bits)
 *
 * The driver sets the registered event whenever the device mode may have
 * changed (a firmware notification, or a change of the regulatory type);
 * the client then reads the entry again.
 *
 * Usable from C (any standard) and C++; include <windows.h> (user mode, with
 * or without WIN32_LEAN_AND_MEAN) or <ntddk.h> (kernel mode) first.
 */
#ifndef TVRXIOCTL_H
#define TVRXIOCTL_H

#include <guiddef.h>
#ifndef _KERNEL_MODE
/* CTL_CODE and its constants; <windows.h> leaves them out under WIN32_LEAN_AND_MEAN. */
#include <winioctl.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* {EC32F880-677B-49F5-865A-877BBB6FE666} */
DEFINE_GUID(GUID_DEVINTERFACE_TAVRIX, 0xec32f880, 0x677b, 0x49f5, 0x86, 0x5a, 0x87, 0x7b, 0xbb, 0x6f, 0xe6, 0x66);

#define TVRX_IOCTL(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_TVRX_SET_REGULATORY_TYPE TVRX_IOCTL(1)        /* 0x220004 */
#define IOCTL_TVRX_GET_DEVICE_MODE_ENTRY TVRX_IOCTL(2)      /* 0x220008 */
#define IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO TVRX_IOCTL(3) /* 0x22000C */
#define IOCTL_TVRX_SET_EVENT TVRX_IOCTL(4)                  /* 0x220010 */

/* Regulatory types; each selects the device-mode table of the same index. */
#define TVRX_REGULATORY_TYPE_COUNT 3
#define TVRX_DEVICE_MODE_TABLE_COUNT 3

/* Output of IOCTL_TVRX_GET_DEVICE_MODE_ENTRY: the entry for the current device mode. */
typedef struct _TVRX_DEVICE_MODE_ENTRY_INFO {
    UINT32 DeviceMode; /* the entry's device mode (8-bit value, zero-extended) */
    UINT32 Value1;
    UINT32 Value2;
    UINT32 Value3;
} TVRX_DEVICE_MODE_ENTRY_INFO, *PTVRX_DEVICE_MODE_ENTRY_INFO;

/* Output of IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO: the header of one table. */
typedef struct _TVRX_DEVICE_MODE_TABLE_INFO {
    UINT32 TableTag;   /* 8-bit value, zero-extended */
    UINT32 EntryCount;
} TVRX_DEVICE_MODE_TABLE_INFO, *PTVRX_DEVICE_MODE_TABLE_INFO;

/* Input of IOCTL_TVRX_SET_EVENT. The event must grant SYNCHRONIZE and EVENT_MODIFY_STATE. */
typedef struct _TVRX_SET_EVENT_INPUT {
    UINT64 EventHandle;
} TVRX_SET_EVENT_INPUT, *PTVRX_SET_EVENT_INPUT;

#ifdef __cplusplus
}
#endif

/*
 * Compile-time checks every C and C++ compiler accepts: static_assert in C++,
 * and in C an array type whose size is negative when the check fails (the
 * C_ASSERT idiom; _Static_assert needs C11, which MSVC's C compiler takes only
 * with /std:c11). Each check names its own type, so none is declared twice.
 */
#ifdef __cplusplus
#define TVRX_C_ASSERT(e) static_assert(e, #e)
#else
#define TVRX_C_ASSERT_NAME2(line) TvrxCAssert##line
#define TVRX_C_ASSERT_NAME(line) TVRX_C_ASSERT_NAME2(line)
#define TVRX_C_ASSERT(e) typedef char TVRX_C_ASSERT_NAME(__LINE__)[(e) ? 1 : -1]
#endif
TVRX_C_ASSERT(sizeof(TVRX_DEVICE_MODE_ENTRY_INFO) == 16);
TVRX_C_ASSERT(sizeof(TVRX_DEVICE_MODE_TABLE_INFO) == 8);
TVRX_C_ASSERT(sizeof(TVRX_SET_EVENT_INPUT) == 8);
TVRX_C_ASSERT(IOCTL_TVRX_SET_REGULATORY_TYPE == 0x220004);
TVRX_C_ASSERT(IOCTL_TVRX_GET_DEVICE_MODE_ENTRY == 0x220008);
TVRX_C_ASSERT(IOCTL_TVRX_GET_DEVICE_MODE_TABLE_INFO == 0x22000C);
TVRX_C_ASSERT(IOCTL_TVRX_SET_EVENT == 0x220010);

#endif /* TVRXIOCTL_H */
