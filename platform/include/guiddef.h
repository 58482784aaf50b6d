/*
 * GUID record and DEFINE_GUID. Without <initguid.h> first, DEFINE_GUID only
 * declares the name; with it, the translation unit defines it (selectany, so
 * several units may define the same GUID). Usable from C and C++.
 */
#ifndef GUIDDEF_H_
#define GUIDDEF_H_

#include <string.h>

typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;

typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

#ifdef __cplusplus
#define GUID_EXTERN_C extern "C"
typedef const GUID& REFGUID;
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#else
#define GUID_EXTERN_C extern
typedef const GUID* REFGUID;
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#endif

#define DEFINE_GUID_SELECTANY_(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    GUID_EXTERN_C __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

#ifndef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID DEFINE_GUID_SELECTANY_
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) GUID_EXTERN_C const GUID name
#endif
#endif

#endif /* GUIDDEF_H_ */
