// Environment: wdf.h includes "WdfWMI.h"; the file is wdfwmi.h. NTFS, where the WDK
// lives, matches names regardless of case; this file system does not.
#include "wdfwmi.h"
