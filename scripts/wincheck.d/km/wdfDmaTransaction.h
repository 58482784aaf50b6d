// Environment: wdf.h includes "wdfDmaTransaction.h"; the file is wdfdmatransaction.h. NTFS, where the WDK
// lives, matches names regardless of case; this file system does not.
#include "wdfdmatransaction.h"
