/* Makes the DEFINE_GUID lines that follow define their GUIDs (selectany, so
   several units may define the same one). */
#pragma once
#include <guiddef.h>
#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
