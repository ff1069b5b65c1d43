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

// The simulated machine has 512 MB of memory, and its non-paged pool may take
// three quarters of it, the share 64-bit Windows allows: beyond that an
// allocation fails with STATUS_INSUFFICIENT_RESOURCES instead of taking the
// host's memory.
constexpr size_t kDefaultNonPagedPoolBytes = size_t(384) << 20;
void SetNonPagedPoolLimit(size_t bytes);
size_t NonPagedPoolInUse();
// Frees every live block: a new machine starts with empty pool.
void ResetPool();
// Every live block, one line each with its tag; "" when the pool is empty.
std::string DescribeLivePool();
size_t LivePoolBlocks();
ULONG TagFromText(const char *fourCharacters);
std::string TagToText(ULONG tag);

}  // namespace plat
