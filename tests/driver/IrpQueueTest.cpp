// Serialised request queues, with requests sent by callers through the I/O
// manager to a device whose reads and writes go to two queues.
#include "support/TestMachine.h"

#include "DriverGlobals.h"
#include "KDeviceObject.h"
#include "KIrpQueue.h"

namespace {

using test::Utf8;

// Reads go to queue 0, writes to queue 1. The start routine records the
// request and leaves it current until the test finishes it.
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
        Queue(queue)->startPacket(irp);
        return STATUS_PENDING;
    }
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
