// Deferred procedure calls: KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc.
#include "ke/Dpc.h"

#include "ke/Scheduler.h"

namespace plat {
namespace {

struct DpcQueue {
    LIST_ENTRY head;
    bool initialised = false;
    bool draining = false;
};

DpcQueue &queue()
{
    static DpcQueue q;
    if (!q.initialised) {
        InitializeListHead(&q.head);
        q.initialised = true;
    }
    return q;
}

// DpcData marks a queued DPC, as on the real processor.
char queuedMarkStorage;
void *const kQueuedMark = &queuedMarkStorage;

}  // namespace

void ResetDpcQueue()
{
    InitializeListHead(&queue().head);
    queue().draining = false;
}

bool DrainDpcQueue()
{
    DpcQueue &q = queue();
    if (q.draining || IsListEmpty(&q.head))
        return false;
    q.draining = true;
    SimThread *self = CurrentThread();
    KIRQL saved = self->irql;
    while (!IsListEmpty(&q.head)) {
        PLIST_ENTRY entry = RemoveHeadList(&q.head);
        PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        self->irql = DISPATCH_LEVEL;
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        if (self->irql != DISPATCH_LEVEL)
            self->irql = DISPATCH_LEVEL;
    }
    self->irql = saved;
    q.draining = false;
    return true;
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
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->DpcData)
        return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = plat::kQueuedMark;
    InsertTailList(&plat::queue().head, &Dpc->DpcListEntry);
    // Queued below DISPATCH_LEVEL, the DPC interrupt is taken at once.
    if (plat::CurrentThread()->irql < DISPATCH_LEVEL)
        plat::DrainDpcQueue();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    if (!Dpc->DpcData)
        return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

}
