// Pool: ExAllocatePoolWithTag, ExFreePoolWithTag and their bookkeeping.
#include "ex/Pool.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "ke/Scheduler.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

constexpr ULONG kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr ULONG kFreedMagic = 0x45455246;

struct alignas(16) BlockHeader {
    LIST_ENTRY link;
    ULONG magic;
    ULONG tag;
    POOL_TYPE type;
    SIZE_T size;
    uint64_t sequence;
};

struct PoolState {
    LIST_ENTRY live;
    bool initialised = false;
    uint64_t sequence = 0;
    size_t nonPagedBytes = 0;
    size_t nonPagedLimit = kDefaultNonPagedPoolBytes;
};

PoolState &pool()
{
    static PoolState p;
    if (!p.initialised) {
        InitializeListHead(&p.live);
        p.initialised = true;
    }
    return p;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

}  // namespace

ULONG TagFromText(const char *t)
{
    return static_cast<ULONG>(static_cast<unsigned char>(t[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(t[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(t[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(t[3])) << 24;
}

std::string TagToText(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return s;
}

PoolUsage PoolInUse(ULONG tag)
{
    PoolUsage usage;
    for (PLIST_ENTRY e = pool().live.Flink; e != &pool().live; e = e->Flink) {
        auto *h = CONTAINING_RECORD(e, BlockHeader, link);
        if (h->tag == tag) {
            ++usage.blocks;
            usage.bytes += h->size;
        }
    }
    return usage;
}

std::string DescribeLivePool()
{
    std::ostringstream out;
    for (PLIST_ENTRY e = pool().live.Flink; e != &pool().live; e = e->Flink) {
        auto *h = CONTAINING_RECORD(e, BlockHeader, link);
        out << "  block #" << h->sequence << ", tag '" << TagToText(h->tag) << "', " << h->size << " bytes, "
            << (IsPaged(h->type) ? "paged" : "non-paged") << "\n";
    }
    return out.str();
}

void SetNonPagedPoolLimit(size_t bytes) { pool().nonPagedLimit = bytes; }

size_t NonPagedPoolInUse() { return pool().nonPagedBytes; }

// Whether the pool of that type has room for the block.
static bool PoolHasRoom(POOL_TYPE type, SIZE_T bytes)
{
    // The largest requests stand for size computations that overflowed.
    if (bytes >= (SIZE_T(1) << 40))
        return false;
    return IsPaged(type) || bytes <= pool().nonPagedLimit - std::min(pool().nonPagedLimit, pool().nonPagedBytes);
}

size_t LivePoolBlocks()
{
    size_t n = 0;
    for (PLIST_ENTRY e = pool().live.Flink; e != &pool().live; e = e->Flink)
        ++n;
    return n;
}

void ResetPool()
{
    while (!IsListEmpty(&pool().live)) {
        auto *h = CONTAINING_RECORD(RemoveHeadList(&pool().live), BlockHeader, link);
        h->magic = kFreedMagic;
        std::free(h);
    }
    pool().sequence = 0;
    pool().nonPagedBytes = 0;
}

}  // namespace plat

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    bool raise = (static_cast<int>(PoolType) & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0;
    auto type = static_cast<POOL_TYPE>(static_cast<int>(PoolType) & ~POOL_RAISE_IF_ALLOCATION_FAILURE);
    plat::SimThread *self = plat::CurrentThread();
    if (plat::IsPaged(type) && self && self->irql >= DISPATCH_LEVEL)
        plat::VerifierFail("pool", "paged pool allocated at DISPATCH_LEVEL (tag '" + plat::TagToText(Tag) + "')");
    void *memory = nullptr;
    if (!plat::ShouldFail(plat::FaultSite::PoolAllocation, Tag) && plat::PoolHasRoom(type, NumberOfBytes))
        memory = std::malloc(sizeof(plat::BlockHeader) + NumberOfBytes);
    if (!memory) {
        if (raise)
            ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        return nullptr;
    }
    auto *h = static_cast<plat::BlockHeader *>(memory);
    h->magic = plat::kLiveMagic;
    h->tag = Tag;
    h->type = type;
    h->size = NumberOfBytes;
    h->sequence = ++plat::pool().sequence;
    if (!plat::IsPaged(type))
        plat::pool().nonPagedBytes += NumberOfBytes;
    InsertTailList(&plat::pool().live, &h->link);
    // Fresh pool is not zero on a real machine; callers must not rely on it.
    memset(h + 1, 0xCD, NumberOfBytes);
    return h + 1;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, plat::TagFromText("None"));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    if (!P) {
        plat::VerifierFail("pool", "ExFreePool of a null pointer");
        return;
    }
    auto *h = static_cast<plat::BlockHeader *>(P) - 1;
    if (h->magic != plat::kLiveMagic) {
        plat::VerifierFail("pool", h->magic == plat::kFreedMagic ? "block freed twice" : "free of a block that is not pool");
        return;
    }
    if (Tag != 0 && Tag != h->tag)
        plat::VerifierFail("pool", "ExFreePoolWithTag with tag '" + plat::TagToText(Tag) +
                                       "' of a block tagged '" + plat::TagToText(h->tag) + "'");
    plat::SimThread *self = plat::CurrentThread();
    if (plat::IsPaged(h->type) && self && self->irql >= DISPATCH_LEVEL)
        plat::VerifierFail("pool", "paged pool freed at DISPATCH_LEVEL");
    RemoveEntryList(&h->link);
    if (!plat::IsPaged(h->type))
        plat::pool().nonPagedBytes -= h->size;
    h->magic = plat::kFreedMagic;
    memset(P, 0xDD, h->size);
    std::free(h);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}
