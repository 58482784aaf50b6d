/* Makes the DEFINE_GUID lines that follow define their GUIDs. */
#ifndef INITGUID_H_
#define INITGUID_H_
#include <guiddef.h>
#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID DEFINE_GUID_SELECTANY_
#endif
