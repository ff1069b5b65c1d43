// Deferred procedure calls: KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc,
// KeFlushQueuedDpcs, and the machine's second processor that runs the DPCs
// interrupts queue.
//
// A DPC queued at DISPATCH_LEVEL or above goes to the queue of the processor
// the queueing thread runs on and is delivered when that thread lowers its
// IRQL below DISPATCH_LEVEL, as the processor's software interrupt would. A
// DPC queued from the idle loop (a timer expiry, a device's interrupt) goes
// to the second processor, a simulated thread of its own, so that it runs
// between the steps of whatever passive code is running; it spins there like
// any other code when a lock it needs is held. Below DISPATCH_LEVEL, the DPC
// interrupt is taken at once.
#include "ke/Dpc.h"

#include "ke/Scheduler.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

struct SecondProcessor {
    LIST_ENTRY queue;
    bool initialised = false;
    KEVENT work;
    SimThread *thread = nullptr;
    bool stopping = false;
};

SecondProcessor &second()
{
    static SecondProcessor p;
    if (!p.initialised) {
        InitializeListHead(&p.queue);
        p.initialised = true;
    }
    return p;
}

// DpcData marks a queued DPC, as on the real processor.
char queuedMarkStorage;
void *const kQueuedMark = &queuedMarkStorage;

// Runs the DPCs of one processor queue at DISPATCH_LEVEL on the calling
// thread's stack; true if any ran. A DPC routine that queues another on the
// same processor has it run in the same pass.
bool Drain(SimThread *self, LIST_ENTRY *head)
{
    if (self->runningDpcs || IsListEmpty(head))
        return false;
    self->runningDpcs = true;
    KIRQL saved = self->irql;
    while (!IsListEmpty(head)) {
        PLIST_ENTRY entry = RemoveHeadList(head);
        PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        self->irql = DISPATCH_LEVEL;
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        if (self->irql != DISPATCH_LEVEL) {
            VerifierFail("DPC", "a DPC routine returned at IRQL " + std::to_string(self->irql));
            self->irql = DISPATCH_LEVEL;
        }
    }
    self->irql = saved;
    self->runningDpcs = false;
    return true;
}

void SecondProcessorMain()
{
    SecondProcessor &p = second();
    SimThread *self = CurrentThread();
    for (;;) {
        self->idleWaiter = true;
        KeWaitForSingleObject(&p.work, Executive, KernelMode, FALSE, nullptr);
        self->idleWaiter = false;
        if (IsListEmpty(&p.queue) && p.stopping)
            return;
        Drain(self, &p.queue);
    }
}

}  // namespace

void ResetDpcQueue()
{
    InitializeListHead(&second().queue);
    second().stopping = false;
}

bool DrainDpcQueue()
{
    SimThread *self = CurrentThread();
    bool ran = Drain(self, &self->localDpcs);
    // Without a second processor (before boot) the current one takes its
    // queue too.
    if (!second().thread)
        ran = Drain(self, &second().queue) || ran;
    return ran;
}

void StartSecondProcessor()
{
    SecondProcessor &p = second();
    KeInitializeEvent(&p.work, SynchronizationEvent, FALSE);
    p.stopping = false;
    p.thread = Scheduler::Get().CreateThread("processor 1", SecondProcessorMain);
}

void StopSecondProcessor()
{
    SecondProcessor &p = second();
    if (!p.thread)
        return;
    p.stopping = true;
    KeSetEvent(&p.work, IO_NO_INCREMENT, FALSE);
    Scheduler::Get().Join(p.thread);
    p.thread = nullptr;
}

}  // namespace plat

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 19;
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->DpcData = nullptr;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->DpcData)
        return FALSE;
    plat::Scheduler &scheduler = plat::Scheduler::Get();
    plat::SimThread *self = plat::CurrentThread();
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = plat::kQueuedMark;
    if (scheduler.InIdleLoop()) {
        InsertTailList(&plat::second().queue, &Dpc->DpcListEntry);
        if (plat::second().thread)
            KeSetEvent(&plat::second().work, IO_NO_INCREMENT, FALSE);
        return TRUE;
    }
    InsertTailList(&self->localDpcs, &Dpc->DpcListEntry);
    if (self->irql < DISPATCH_LEVEL)
        plat::DrainDpcQueue();
    else
        scheduler.SyncPoint();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    plat::Scheduler::Get().SyncPoint();
    if (!Dpc->DpcData)
        return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

}

// PASSIVE_LEVEL. Returns once every DPC queued anywhere when it was called has
// run: until no processor has one queued or running.
VOID KeFlushQueuedDpcs(void)
{
    plat::SimThread *self = plat::CurrentThread();
    if (self->irql != PASSIVE_LEVEL)
        plat::VerifierFail("DPC", "KeFlushQueuedDpcs above PASSIVE_LEVEL");
    auto busy = [self] {
        if (!IsListEmpty(&plat::second().queue))
            return true;
        for (plat::SimThread *t : plat::Scheduler::Get().Threads())
            if (t != self && (t->runningDpcs || !IsListEmpty(&t->localDpcs)))
                return true;
        return false;
    };
    if (IsListEmpty(&self->localDpcs) == FALSE)
        plat::DrainDpcQueue();
    while (busy())
        plat::Scheduler::Get().Yield();
}
