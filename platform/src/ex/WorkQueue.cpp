// ExQueueWorkItem and the system worker threads.
#include "ex/WorkQueue.h"

#include <string>
#include <vector>

#include "ke/Scheduler.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

struct WorkQueue {
    LIST_ENTRY items;
    KSEMAPHORE available;
    bool stopping = false;
    std::vector<SimThread *> workers;
};

WorkQueue &work()
{
    static WorkQueue q;
    return q;
}

void WorkerMain()
{
    WorkQueue &q = work();
    SimThread *self = CurrentThread();
    for (;;) {
        self->idleWaiter = true;
        KeWaitForSingleObject(&q.available, Executive, KernelMode, FALSE, nullptr);
        self->idleWaiter = false;
        if (IsListEmpty(&q.items)) {
            if (q.stopping)
                return;
            continue;
        }
        auto *item = CONTAINING_RECORD(RemoveHeadList(&q.items), WORK_QUEUE_ITEM, List);
        item->List.Flink = nullptr;
        item->WorkerRoutine(item->Parameter);
        if (self->irql != PASSIVE_LEVEL || !self->heldSpinLocks.empty() || self->criticalRegion != 0) {
            VerifierFail("work item", "worker routine returned at IRQL " + std::to_string(self->irql) +
                                          " or with a spin lock or critical region still held");
            self->irql = PASSIVE_LEVEL;
            self->heldSpinLocks.clear();
            self->criticalRegion = 0;
        }
    }
}

struct PlatformWork {
    WORK_QUEUE_ITEM item;
    std::function<void()> work;
};

VOID RunPlatformWork(PVOID parameter)
{
    auto *w = static_cast<PlatformWork *>(parameter);
    std::function<void()> work = std::move(w->work);
    delete w;
    work();
}

}  // namespace

void QueuePlatformWork(std::function<void()> work)
{
    auto *w = new PlatformWork{};
    w->work = std::move(work);
    ExInitializeWorkItem(&w->item, RunPlatformWork, w);
    ExQueueWorkItem(&w->item, DelayedWorkQueue);
}

void StartWorkerThreads(int count)
{
    WorkQueue &q = work();
    InitializeListHead(&q.items);
    KeInitializeSemaphore(&q.available, 0, MAXLONG);
    q.stopping = false;
    q.workers.clear();
    for (int i = 0; i < count; ++i)
        q.workers.push_back(Scheduler::Get().CreateThread("system worker " + std::to_string(i), WorkerMain));
}

void StopWorkerThreads()
{
    WorkQueue &q = work();
    q.stopping = true;
    KeReleaseSemaphore(&q.available, 0, static_cast<LONG>(q.workers.size()), FALSE);
    for (SimThread *t : q.workers)
        Scheduler::Get().Join(t);
    q.workers.clear();
}

}  // namespace plat

extern "C" VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    plat::WorkQueue &q = plat::work();
    if (q.stopping)
        plat::VerifierFail("work item", "queued while the machine shuts down");
    InsertTailList(&q.items, &WorkItem->List);
    KeReleaseSemaphore(&q.available, 0, 1, FALSE);
}
