// Pool bookkeeping for the verifier and for tests.
#pragma once

#include <string>

#include <wdm.h>

namespace plat {

struct PoolUsage {
    size_t blocks = 0;
    size_t bytes = 0;
};

PoolUsage PoolInUse(ULONG tag);
// Frees every live block: a new machine starts with empty pool.
void ResetPool();
// Every live block, one line each with its tag; "" when the pool is empty.
std::string DescribeLivePool();
size_t LivePoolBlocks();
ULONG TagFromText(const char *fourCharacters);
std::string TagToText(ULONG tag);

}  // namespace plat
