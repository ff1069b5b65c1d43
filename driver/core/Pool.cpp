// Pool helpers: every allocation carries DriverGlobals.poolTag.
#include "Pool.h"

#include "DriverGlobals.h"

PVOID AllocatePool(SIZE_T size) { return ExAllocatePoolWithTag(NonPagedPool, size, DriverGlobals.poolTag); }

PVOID AllocatePoolOfType(SIZE_T size, POOL_TYPE poolType)
{
    return ExAllocatePoolWithTag(poolType, size, DriverGlobals.poolTag);
}

PVOID AllocateZeroedPool(SIZE_T size)
{
    PVOID block = AllocatePool(size);
    if (block)
        RtlZeroMemory(block, size);
    return block;
}

VOID FreePool(PVOID block)
{
    if (block)
        ExFreePoolWithTag(block, 0);
}
