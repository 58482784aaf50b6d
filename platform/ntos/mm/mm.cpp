/*
 * Mapping physical memory into system space. As on a PC any physical range
 * maps (what no region holds reads as 0xFF); a mapping fails only for lack of
 * resources. Callable up to DISPATCH_LEVEL.
 */
#include <excpt.h>
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
    // An injected read error: the mapping is made, and every access to it
    // raises the chosen status as an exception.
    NTSTATUS readError = plat::fault::Check("PhysicalMemoryRead");
    PVOID mapping = plat::Hardware::Current().Memory().Map(static_cast<uint64_t>(PhysicalAddress.QuadPart),
                                                           NumberOfBytes, !NT_SUCCESS(readError));
    if (mapping != NULL && !NT_SUCCESS(readError)) {
        plat::RaiseOnAccess(mapping, NumberOfBytes, readError);
    }
    return mapping;
}

VOID MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes)
{
    plat::RequireIrql(DISPATCH_LEVEL, __func__);
    plat::ForgetAccessRange(BaseAddress);
    plat::Hardware::Current().Memory().Unmap(BaseAddress, NumberOfBytes);
}

}  // extern "C"
