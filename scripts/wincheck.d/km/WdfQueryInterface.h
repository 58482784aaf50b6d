// Environment: wdf.h includes "WdfQueryInterface.h"; the file is wdfqueryinterface.h. NTFS, where the WDK
// lives, matches names regardless of case; this file system does not.
#include "wdfqueryinterface.h"
