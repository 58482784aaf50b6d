// Environment: wdf.h includes "wdfDmaEnabler.h"; the file is wdfdmaenabler.h. NTFS, where the WDK
// lives, matches names regardless of case; this file system does not.
#include "wdfdmaenabler.h"
