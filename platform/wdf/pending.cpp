// Weak placeholders for services still being written; each stops the system if called.
// Removed once every service has its real definition.
#include <wdf.h>
#include "nt/bugcheck.h"

#define PENDING(name) plat::BugCheck(0xDEADDEAD, #name " is not available yet")

extern "C" {
__attribute__((weak)) NTSTATUS WdfFdoQueryForInterface(WDFDEVICE, LPCGUID, PINTERFACE, USHORT, USHORT, PVOID) { PENDING(WdfFdoQueryForInterface); }
__attribute__((weak)) VOID WdfRequestComplete(WDFREQUEST, NTSTATUS) { PENDING(WdfRequestComplete); }
__attribute__((weak)) WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT) { PENDING(WdfFileObjectGetDevice); }
__attribute__((weak)) LONG_PTR ObfDereferenceObject(PVOID) { PENDING(ObfDereferenceObject); }
__attribute__((weak)) LONG KeSetEvent(PRKEVENT, KPRIORITY, BOOLEAN) { PENDING(KeSetEvent); }
__attribute__((weak)) VOID WppInitKm(PDRIVER_OBJECT, PCUNICODE_STRING, const GUID*) {}
__attribute__((weak)) VOID WppCleanupKm(PDRIVER_OBJECT) {}
__attribute__((weak)) VOID WppTraceMessage(const GUID*, PCSTR, ULONG, PCSTR, UCHAR, ULONG, PCSTR, ...) {}
}
