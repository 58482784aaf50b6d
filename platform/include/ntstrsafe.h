/* Bounded string helpers of the kernel's safe string library (the subset used here). */
#pragma once
#include <ntdef.h>
#include <stdarg.h>

EXTERN_C_START
NTSTATUS RtlStringCbPrintfA(PCHAR Destination, size_t cbDest, PCSTR Format, ...);
NTSTATUS RtlStringCbVPrintfA(PCHAR Destination, size_t cbDest, PCSTR Format, va_list ArgList);
NTSTATUS RtlStringCbCopyA(PCHAR Destination, size_t cbDest, PCSTR Source);
NTSTATUS RtlStringCbLengthW(PCWSTR String, size_t cbMax, size_t* Length);
EXTERN_C_END
