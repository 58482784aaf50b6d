/*
 * winioctl.h: the I/O-control code layout for user mode (CTL_CODE, the device
 * types, methods and access rights), which Windows' <windows.h> leaves out
 * under WIN32_LEAN_AND_MEAN. Here it is the layout the kernel side shares.
 */
#pragma once

#include <devioctl.h>
