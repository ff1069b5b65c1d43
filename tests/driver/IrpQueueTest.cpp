// Serialised request queues, with requests sent by callers through the I/O
// manager to a device whose reads and writes go to two queues.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KDeviceObject.h"
#include "KIrpHolder.h"
#include "KIrpQueue.h"

namespace {

using test::Utf8;

// Reads go to queue 0, writes to queue 1. The start routine records the
// request and leaves it current until the test finishes it. A device-control
// request is parked in the holder its function number's low bit names.
class QueueDevice : public KDeviceObject {
public:
    using KDeviceObject::KDeviceObject;
    std::vector<std::pair<int, ULONG>> started;  // queue, request length
    std::vector<PIRP> current{nullptr, nullptr};

    static void Start(KDeviceObject *owner, PIRP irp)
    {
        auto *self = static_cast<QueueDevice *>(owner);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        int queue = sp->MajorFunction == IRP_MJ_READ ? 0 : 1;
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        self->started.push_back({queue, sp->Parameters.Read.Length});
        self->current[queue] = irp;
    }
    // Completes the queue's current request and lets the next one start.
    void Finish(int queue)
    {
        PIRP irp = current[queue];
        ASSERT_NE(nullptr, irp);
        current[queue] = nullptr;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        requestStartNext(queue);
    }
    NTSTATUS Enqueue(PIRP irp, int queue)
    {
        IoMarkIrpPending(irp);
        // The caller cancels the request while it is on its way to the
        // queue, before any cancel routine is set.
        if (cancelOnArrival)
            IoCancelIrp(irp);
        Queue(queue)->startPacket(irp);
        return STATUS_PENDING;
    }
    bool cancelOnArrival = false;
    NTSTATUS DispatchDeviceControl(PIRP irp) override
    {
        ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        NTSTATUS status = holders[(code >> 2) & 1].Park(irp);  // the function number's low bit
        if (status == STATUS_PENDING)
            return status;
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    KIrpHolder holders[2];
    NTSTATUS DispatchRead(PIRP irp) override { return Enqueue(irp, 0); }
    NTSTATUS DispatchWrite(PIRP irp) override { return Enqueue(irp, 1); }
    NTSTATUS DispatchCreate(PIRP irp) override { return Succeed(irp); }
    NTSTATUS DispatchClose(PIRP irp) override { return Succeed(irp); }
    NTSTATUS DispatchCleanup(PIRP irp) override
    {
        cleanupForFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
        return Succeed(irp);
    }
    static NTSTATUS Succeed(PIRP irp)
    {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
};

class Idle : public KQueueIdleTarget {
public:
    std::vector<LONG> events;
    NTSTATUS HandleEvent(LONG event) override
    {
        events.push_back(event);
        return STATUS_SUCCESS;
    }
};

class IrpQueueTest : public test::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, AddStatus(AddPort(u"COM3")));
        KUnicodeString name(L"\\Device\\VexQueueTest");
        KDeviceCreation creation{};
        void *storage = CreateDeviceObject(sizeof(QueueDevice), DriverGlobals.driverObject, name, creation);
        device = new (storage) QueueDevice(creation);
        ASSERT_EQ(STATUS_SUCCESS, device->CreateQueues(2, QueueDevice::Start));
        device->CompleteInitialization();
        ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\Device\\VexQueueTest", &file));
    }
    void TearDown() override
    {
        if (file)
            plat::CloseDevice(file);
        delete device;
        for (auto *r : requests)
            delete r;
        MachineTest::TearDown();
    }
    // A read (queue 0) or write (queue 1) whose length tells requests apart.
    plat::PendingRequest *Send(int queue, ULONG tag, PFILE_OBJECT from = nullptr)
    {
        plat::Request request;
        request.major = queue == 0 ? IRP_MJ_READ : IRP_MJ_WRITE;
        request.outputLength = tag;
        request.input.resize(queue == 0 ? 0 : tag);
        requests.push_back(plat::StartRequest(from ? from : file, request));
        return requests.back();
    }
    // A device-control request parked in holder `slot`.
    plat::PendingRequest *Park(int slot, PFILE_OBJECT from)
    {
        plat::Request request;
        request.major = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + slot, METHOD_BUFFERED, FILE_ANY_ACCESS);
        requests.push_back(plat::StartRequest(from, request));
        return requests.back();
    }
    std::vector<ULONG> Started(int queue) const
    {
        std::vector<ULONG> out;
        for (auto [q, tag] : device->started)
            if (q == queue)
                out.push_back(tag);
        return out;
    }

    QueueDevice *device = nullptr;
    PFILE_OBJECT file = nullptr;
    std::vector<plat::PendingRequest *> requests;
};

TEST_F(IrpQueueTest, NewQueuesAreStalledUntilRestarted)
{
    Send(0, 1);
    EXPECT_TRUE(device->started.empty());
    EXPECT_FALSE(device->Queue(0)->isIdle());
    device->restartAllRequests();
    EXPECT_EQ((std::vector<ULONG>{1}), Started(0));
    device->Finish(0);
}

TEST_F(IrpQueueTest, EachQueueRunsOneRequestAtATimeIndependently)
{
    device->restartAllRequests();
    auto *r1 = Send(0, 1);
    Send(0, 2);
    Send(1, 10);
    EXPECT_EQ((std::vector<ULONG>{1}), Started(0));
    EXPECT_EQ((std::vector<ULONG>{10}), Started(1));
    device->Finish(0);
    EXPECT_EQ(STATUS_SUCCESS, r1->Wait().status);
    EXPECT_EQ((std::vector<ULONG>{1, 2}), Started(0));
    device->Finish(0);
    device->Finish(1);
    EXPECT_TRUE(device->Queue(0)->isIdle());
    EXPECT_TRUE(device->Queue(1)->isIdle());
}

TEST_F(IrpQueueTest, CancellingAWaitingRequestKeepsTheOthersInOrder)
{
    device->restartAllRequests();
    Send(0, 1);
    Send(0, 2);
    auto *r3 = Send(0, 3);
    Send(0, 4);
    EXPECT_TRUE(r3->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, r3->Wait().status);
    for (int i = 0; i < 3; ++i)
        device->Finish(0);
    EXPECT_EQ((std::vector<ULONG>{1, 2, 4}), Started(0));
}

TEST_F(IrpQueueTest, CleanupCancelsOnlyTheClosingFilesWaitingRequests)
{
    PFILE_OBJECT other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\Device\\VexQueueTest", &other));
    device->restartAllRequests();
    auto *current = Send(0, 1);  // current: cleanup leaves it
    auto *mine = Send(0, 2);
    auto *theirs = Send(0, 3, other);
    auto *mineToo = Send(1, 10);
    device->cleanupForFile(file);
    EXPECT_EQ(STATUS_CANCELLED, mine->Wait().status);
    EXPECT_FALSE(current->Done());
    EXPECT_FALSE(theirs->Done());
    EXPECT_FALSE(mineToo->Done());  // current on queue 1
    device->Finish(0);
    EXPECT_EQ((std::vector<ULONG>{1, 3}), Started(0));
    device->Finish(0);
    device->Finish(1);
    plat::CloseDevice(other);
}

TEST_F(IrpQueueTest, CleanupOfAFileCancelsItsParkedRequestsAndNoOthers)
{
    PFILE_OBJECT other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, plat::OpenDevice(u"\\Device\\VexQueueTest", &other));
    auto *mine = Park(0, file);
    auto *theirs = Park(1, other);
    ASSERT_FALSE(mine->Done());
    ASSERT_FALSE(theirs->Done());
    // Closing the handle sends the cleanup request.
    plat::CloseDevice(file);
    file = nullptr;
    ASSERT_TRUE(mine->Done());
    EXPECT_EQ(STATUS_CANCELLED, mine->Result().status);
    EXPECT_FALSE(theirs->Done());
    EXPECT_EQ(nullptr, device->holders[0].irp);
    plat::CloseDevice(other);
    ASSERT_TRUE(theirs->Done());
    EXPECT_EQ(STATUS_CANCELLED, theirs->Result().status);
}

TEST_F(IrpQueueTest, AbortFailsWaitingAndNewRequestsUntilAllowed)
{
    device->restartAllRequests();
    Send(0, 1);
    auto *waiting = Send(0, 2);
    device->abortAllRequests(STATUS_DELETE_PENDING);
    EXPECT_EQ(STATUS_DELETE_PENDING, waiting->Wait().status);
    EXPECT_EQ(STATUS_DELETE_PENDING, Send(1, 10)->Wait().status);
    device->allowAllRequests();
    device->Finish(0);
    Send(1, 11);
    EXPECT_EQ((std::vector<ULONG>{11}), Started(1));
    device->Finish(1);
}

TEST_F(IrpQueueTest, ARestartWhileARequestIsCurrentStartsNoSecondOne)
{
    device->restartAllRequests();
    Send(0, 1);
    device->stallAllRequests();
    Send(0, 2);
    device->restartAllRequests();
    EXPECT_EQ((std::vector<ULONG>{1}), Started(0));
    device->Finish(0);
    EXPECT_EQ((std::vector<ULONG>{1, 2}), Started(0));
    device->Finish(0);
}

TEST_F(IrpQueueTest, ARequestCancelledOnItsWayToABusyQueueEndsAtOnceAndNeverStarts)
{
    device->restartAllRequests();
    Send(0, 1);
    device->cancelOnArrival = true;
    auto *cancelled = Send(0, 2);
    device->cancelOnArrival = false;
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(STATUS_CANCELLED, cancelled->Result().status);
    auto *next = Send(0, 3);
    device->Finish(0);
    EXPECT_EQ((std::vector<ULONG>{1, 3}), Started(0));
    device->Finish(0);
    EXPECT_EQ(STATUS_SUCCESS, next->Wait().status);
}

// Requests freed at DISPATCH_LEVEL wait for the start-next DPC, which
// serves the lower queue first whatever order they were freed in.
TEST_F(IrpQueueTest, TheStartNextDpcStartsTheLowestQueueFirst)
{
    device->restartAllRequests();
    Send(0, 1);
    Send(1, 10);
    Send(0, 2);
    Send(1, 11);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    device->Finish(1);
    device->Finish(0);
    EXPECT_EQ(2u, device->started.size());  // the DPC waits for the IRQL to drop
    KeLowerIrql(old);
    EXPECT_EQ((std::vector<std::pair<int, ULONG>>{{0, 1}, {1, 10}, {0, 2}, {1, 11}}), device->started);
    device->Finish(0);
    device->Finish(1);
}

TEST_F(IrpQueueTest, StalledQueueKeepsRequestsUntilRestart)
{
    device->restartAllRequests();
    device->stallAllRequests();
    Send(1, 10);
    EXPECT_TRUE(Started(1).empty());
    device->restartAllRequests();
    EXPECT_EQ((std::vector<ULONG>{10}), Started(1));
    device->Finish(1);
}

TEST_F(IrpQueueTest, IdleNotificationComesOnceAfterTheLastBusyQueue)
{
    device->restartAllRequests();
    Idle idle;
    EXPECT_EQ(STATUS_SUCCESS, device->stallAndNotifyWhenIdle(&idle));  // nothing busy
    device->restartAllRequests();

    Send(0, 1);
    Send(1, 10);
    Send(0, 2);  // waits; the stall keeps it from starting
    EXPECT_EQ(STATUS_PENDING, device->stallAndNotifyWhenIdle(&idle));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, device->stallAndNotifyWhenIdle(&idle));
    device->Finish(0);
    EXPECT_TRUE(idle.events.empty());
    device->Finish(1);
    EXPECT_EQ((std::vector<LONG>{2}), idle.events);
    EXPECT_EQ((std::vector<ULONG>{1}), Started(0));
    device->restartAllRequests();
    EXPECT_EQ((std::vector<ULONG>{1, 2}), Started(0));
    device->Finish(0);
}

TEST_F(IrpQueueTest, SingleBusyQueueNotifiesWhenReleased)
{
    device->restartAllRequests();
    Idle idle;
    Send(1, 10);
    EXPECT_EQ(STATUS_PENDING, device->stallAndNotifyWhenIdle(&idle));
    device->Finish(1);
    EXPECT_EQ((std::vector<LONG>{2}), idle.events);
    device->restartAllRequests();
}

TEST_F(IrpQueueTest, IdleCountdownThatCannotBeAllocatedStallsNothing)
{
    device->restartAllRequests();
    Send(0, 1);
    Send(1, 10);
    Idle idle;
    plat::FailPoolTag(DriverGlobals.poolTag);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, device->stallAndNotifyWhenIdle(&idle));
    plat::ClearFaults();
    EXPECT_EQ(0, device->Queue(0)->stallCount);
    EXPECT_EQ(0, device->Queue(1)->stallCount);
    device->Finish(0);
    device->Finish(1);
}

TEST_F(IrpQueueTest, WaitForCurrentRequestsReturnsWhenTheyAreReleased)
{
    device->restartAllRequests();
    Send(0, 1);
    bool returned = false;
    plat::SimThread *waiter = plat::Scheduler::Get().CreateThread("pnp", [&] {
        device->stallAllRequests();
        device->waitForCurrentRequests();
        returned = true;
    });
    plat::Scheduler::Get().Yield();
    EXPECT_FALSE(returned);
    device->Finish(0);
    plat::Scheduler::Get().Join(waiter);
    EXPECT_TRUE(returned);
    device->restartAllRequests();
}

TEST_F(IrpQueueTest, DestroyingTheDeviceCompletesWaitingRequests)
{
    device->restartAllRequests();
    Send(0, 1);
    plat::Request read;
    read.major = IRP_MJ_READ;
    read.outputLength = 2;
    auto *waiting = plat::StartRequest(nullptr, read, device->deviceObject);  // no file: cleanup leaves it
    requests.push_back(waiting);
    device->stallAllRequests();
    device->Finish(0);
    plat::CloseDevice(file);
    file = nullptr;
    delete device;
    device = nullptr;
    EXPECT_EQ(STATUS_DELETE_PENDING, waiting->Wait().status);
}

}  // namespace
