/* Kernel-mode driver development: the wdm.h services plus the few ntddk.h adds. */
#pragma once
#include <wdm.h>
