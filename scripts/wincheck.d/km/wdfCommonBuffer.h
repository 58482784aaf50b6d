// Environment: wdf.h includes "wdfCommonBuffer.h"; the file is wdfcommonbuffer.h. NTFS, where the WDK
// lives, matches names regardless of case; this file system does not.
#include "wdfcommonbuffer.h"
