// The machine's non-paged pool is finite: an allocation beyond what is left
// fails as on Windows (null, or STATUS_INSUFFICIENT_RESOURCES raised), a
// freed block gives its room back, and paged pool is not counted against it.
#include <gtest/gtest.h>

#include <wdm.h>

#include "ex/Pool.h"
#include "ex/Raise.h"
#include "machine/Machine.h"

namespace {

constexpr size_t kPool = 1 << 20;
const ULONG kTag = plat::TagFromText("Test");

class PoolTest : public ::testing::Test {
protected:
    PoolTest()
    {
        plat::MachineOptions options;
        options.nonPagedPoolBytes = kPool;
        machine = std::make_unique<plat::Machine>(options);
    }
    std::unique_ptr<plat::Machine> machine;
};

TEST_F(PoolTest, NonPagedAllocationsStopAtTheMachinesPoolSize)
{
    size_t base = plat::NonPagedPoolInUse();
    void *most = ExAllocatePoolWithTag(NonPagedPool, kPool - base - 16, kTag);
    ASSERT_NE(most, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 17, kTag), nullptr);
    void *rest = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_NE(rest, nullptr);
    // Paged pool is another pool.
    void *paged = ExAllocatePoolWithTag(PagedPool, kPool, kTag);
    EXPECT_NE(paged, nullptr);

    ExFreePoolWithTag(most, kTag);
    void *again = ExAllocatePoolWithTag(NonPagedPool, kPool / 2, kTag);
    EXPECT_NE(again, nullptr);
    for (void *block : {rest, paged, again})
        ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(plat::NonPagedPoolInUse(), base);
}

TEST_F(PoolTest, AHugeRequestRaisesInsufficientResourcesWhenAskedTo)
{
    NTSTATUS raised = STATUS_SUCCESS;
    try {
        ExAllocatePoolWithTag(static_cast<POOL_TYPE>(NonPagedPool | POOL_RAISE_IF_ALLOCATION_FAILURE),
                              SIZE_T(4) << 30, kTag);
    } catch (const plat::RaisedStatus &e) {
        raised = e.Status;
    }
    EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
