/*
 * Mapping physical memory into system space: the machine's physical memory
 * map answers, one region per mapping. Callable up to DISPATCH_LEVEL.
 */
#include <wdm.h>

#include "base/fault.h"
#include "machine/hardware.h"
#include "machine/physmem.h"
#include "ntos/ke/irql.h"

extern "C" {

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    if (NumberOfBytes == 0 || PhysicalAddress.QuadPart < 0) {
        return NULL;
    }
    if (CacheType != MmNonCached && CacheType != MmCached && CacheType != MmWriteCombined) {
        return NULL;
    }
    if (!NT_SUCCESS(plat::fault::Check("MmMapIoSpace"))) {
        return NULL;
    }
    return plat::Hardware::Current().Memory().Map(static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes);
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    plat::Hardware::Current().Memory().Unmap(BaseAddress, NumberOfBytes);
}

}  // extern "C"
