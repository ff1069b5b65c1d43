// Pool allocation with the driver's tag. Every block is freed with tag 0.
#pragma once

#include "Portability.h"

PVOID AllocatePool(SIZE_T size);
PVOID AllocatePoolOfType(SIZE_T size, POOL_TYPE poolType);
PVOID AllocateZeroedPool(SIZE_T size);
VOID FreePool(PVOID block);
