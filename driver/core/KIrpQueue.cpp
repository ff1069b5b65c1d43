// KIrpQueue: starting, releasing, stalling, cancelling and cleaning up.
#include "KIrpQueue.h"

#include "Completion.h"

KIrpQueue::KIrpQueue(KDeviceObject *queueOwner, StartRoutine routine)
    : lock(0), savedIrql(PASSIVE_LEVEL), owner(queueOwner), start(routine), stallCount(1), current(nullptr),
      idleCallback(nullptr), idleContext(nullptr), abortStatus(STATUS_SUCCESS)
{
    InitializeListHead(&waiting);
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&stopEvent, NotificationEvent, FALSE);
}

KIrpQueue::~KIrpQueue() { cleanupRequests(nullptr, STATUS_DELETE_PENDING); }

void KIrpQueue::StartRequest(PIRP irp) { start(owner, irp); }

void KIrpQueue::Lock()
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    savedIrql = old;
}

void KIrpQueue::StartLocked(PIRP irp)
{
    current = irp;
    KIRQL restore = savedIrql;
    // The start routine runs at DISPATCH_LEVEL without the queue lock.
    KeReleaseSpinLockFromDpcLevel(&lock);
    StartRequest(irp);
    KeLowerIrql(restore);
}

PIRP KIrpQueue::NextStartableLocked()
{
    while (stallCount == 0 && abortStatus == STATUS_SUCCESS && !IsListEmpty(&waiting)) {
        PLIST_ENTRY entry = RemoveHeadList(&waiting);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr))
            return irp;
        // Its cancel routine is running and will unlink it: a self-linked
        // entry makes that harmless.
        InitializeListHead(entry);
    }
    return nullptr;
}

void KIrpQueue::startPacket(PIRP irp)
{
    Lock();
    if (abortStatus != STATUS_SUCCESS) {
        NTSTATUS status = abortStatus;
        KeReleaseSpinLock(&lock, savedIrql);
        CompleteRequest(irp, status, 0);
        return;
    }
    if (!current && stallCount == 0) {
        StartLocked(irp);
        return;
    }
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        KeReleaseSpinLock(&lock, savedIrql);
        CompleteRequest(irp, STATUS_CANCELLED, 0);
        return;
    }
    InsertTailList(&waiting, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, savedIrql);
}

void KIrpQueue::startNextPacket()
{
    Lock();
    if (current) {
        current = nullptr;
        KeSetEvent(&stopEvent, 0, FALSE);
    }
    IdleCallback callback = idleCallback;
    PVOID context = idleContext;
    idleCallback = nullptr;
    idleContext = nullptr;
    if (PIRP next = NextStartableLocked()) {
        // The queue is not idle: the callback taken out is dropped.
        StartLocked(next);
        return;
    }
    KeReleaseSpinLock(&lock, savedIrql);
    if (callback)
        callback(context);
}

void KIrpQueue::restartRequests()
{
    Lock();
    if (InterlockedDecrement(&stallCount) <= 0 && !current)
        if (PIRP next = NextStartableLocked()) {
            StartLocked(next);
            return;
        }
    KeReleaseSpinLock(&lock, savedIrql);
}

bool KIrpQueue::isIdle()
{
    Lock();
    bool idle = IsListEmpty(&waiting) && !current;
    KeReleaseSpinLock(&lock, savedIrql);
    return idle;
}

void KIrpQueue::cleanupRequests(PFILE_OBJECT fileObject, NTSTATUS status)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    Lock();
    for (PLIST_ENTRY e = waiting.Flink; e != &waiting;) {
        PLIST_ENTRY next = e->Flink;
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if ((!fileObject || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject) &&
            IoSetCancelRoutine(irp, nullptr)) {
            RemoveEntryList(e);
            InsertTailList(&taken, e);
        }
        e = next;
    }
    KeReleaseSpinLock(&lock, savedIrql);
    while (!IsListEmpty(&taken))
        CompleteRequest(CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry), status, 0);
}

// DISPATCH_LEVEL, cancel spin lock held on entry; completes the request.
void KIrpQueue::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    auto *queue = static_cast<KIrpQueue *>(irp->Tail.Overlay.DriverContext[0]);
    queue->LockAtDpcLevel();
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    queue->UnlockFromDpcLevel();
    KeLowerIrql(irp->CancelIrql);
    CompleteRequest(irp, STATUS_CANCELLED, 0);
}
