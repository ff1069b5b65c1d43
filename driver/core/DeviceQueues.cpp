// Operations of a device over all its request queues, used by Plug and Play
// and power management, and the deferred start of the next request.
#include "KDeviceObject.h"

#include "KIrpHolder.h"
#include "KIrpQueue.h"
#include "Pool.h"

namespace {

struct IdleCountdown {
    KQueueIdleTarget *target;
    volatile LONG busy;
};

void NotifyIdle(PVOID target) { static_cast<KQueueIdleTarget *>(target)->HandleEvent(kQueuesIdleEvent); }

void CountDown(PVOID context)
{
    auto *countdown = static_cast<IdleCountdown *>(context);
    if (InterlockedDecrement(&countdown->busy) == 0) {
        KQueueIdleTarget *target = countdown->target;
        FreePool(countdown);
        NotifyIdle(target);
    }
}

}  // namespace

KIrpQueue *KDeviceObject::Queue(ULONG index) const { return index < queueCount ? queues[index] : nullptr; }

NTSTATUS KDeviceObject::CreateQueues(ULONG count, KIrpQueue::StartRoutine start)
{
    queues = static_cast<KIrpQueue **>(AllocateZeroedPool(count * sizeof(KIrpQueue *)));
    if (!queues)
        return STATUS_INSUFFICIENT_RESOURCES;
    queueCount = count;
    for (ULONG i = 0; i < count; ++i) {
        void *storage = AllocatePool(sizeof(KIrpQueue));
        if (!storage)
            return STATUS_INSUFFICIENT_RESOURCES;
        queues[i] = new (storage) KIrpQueue(this, start);
    }
    return STATUS_SUCCESS;
}

// Under each queue's lock, so that a start deciding on another processor
// either sees the stall or has made its request current before we look.
void KDeviceObject::stallAllRequests()
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i]) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&q->lock);
            InterlockedIncrement(&q->stallCount);
            KeReleaseSpinLock(&q->lock, old);
        }
}

void KDeviceObject::restartAllRequests()
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i])
            q->restartRequests();
}

// The queues refuse before the outstanding I/O is cancelled: the current
// request that the cancel ends asks for the next one, and on a queue that
// nothing stalled (surprise removal) that one would start and be left at the
// device.
void KDeviceObject::abortAllRequests(NTSTATUS status)
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i]) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&q->lock);
            q->abortStatus = status;
            KeReleaseSpinLock(&q->lock, old);
        }
    CancelOutstandingIo();
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i])
            q->cleanupRequests(nullptr, status);
}

void KDeviceObject::allowAllRequests()
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i])
            q->abortStatus = STATUS_SUCCESS;
}

// PASSIVE_LEVEL: waits.
void KDeviceObject::waitForCurrentRequests()
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i]) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&q->lock);
            KeResetEvent(&q->stopEvent);
            bool busy = q->current != nullptr;
            KeReleaseSpinLock(&q->lock, old);
            if (busy)
                KeWaitForSingleObject(&q->stopEvent, Executive, KernelMode, FALSE, nullptr);
        }
}

NTSTATUS KDeviceObject::stallAndNotifyWhenIdle(KQueueIdleTarget *target)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (ULONG i = 0; i < queueCount; ++i)
        queues[i]->LockAtDpcLevel();

    NTSTATUS result = STATUS_SUCCESS;
    ULONG stalled = 0;
    ULONG busy = 0;
    for (; stalled < queueCount; ++stalled) {
        KIrpQueue *q = queues[stalled];
        if (q->idleCallback) {
            result = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
        InterlockedIncrement(&q->stallCount);
        if (q->current)
            ++busy;
    }
    if (NT_SUCCESS(result) && busy == 1) {
        for (ULONG i = 0; i < queueCount; ++i)
            if (queues[i]->current) {
                queues[i]->idleCallback = NotifyIdle;
                queues[i]->idleContext = target;
            }
        result = STATUS_PENDING;
    } else if (NT_SUCCESS(result) && busy > 1) {
        auto *countdown = static_cast<IdleCountdown *>(AllocatePool(sizeof(IdleCountdown)));
        if (!countdown) {
            result = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            countdown->target = target;
            countdown->busy = static_cast<LONG>(busy);
            for (ULONG i = 0; i < queueCount; ++i)
                if (queues[i]->current) {
                    queues[i]->idleCallback = CountDown;
                    queues[i]->idleContext = countdown;
                }
            result = STATUS_PENDING;
        }
    }
    if (!NT_SUCCESS(result))
        for (ULONG i = 0; i < stalled; ++i)
            InterlockedDecrement(&queues[i]->stallCount);

    for (ULONG i = queueCount; i-- > 0;)
        queues[i]->UnlockFromDpcLevel();
    KeLowerIrql(old);
    return result;
}

void KDeviceObject::cleanupForFile(PFILE_OBJECT fileObject)
{
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i])
            q->cleanupRequests(fileObject, STATUS_CANCELLED);
    KIrpHolder::CancelHeldRequestsForFile(fileObject);
}

void KDeviceObject::requestStartNext(ULONG index)
{
    InterlockedOr(&pendingStartMask, static_cast<LONG>(1u << index));
    KeInsertQueueDpc(&startNextDpc, nullptr, nullptr);
}

// DISPATCH_LEVEL.
VOID KDeviceObject::StartNextDpcRoutine(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *object = static_cast<KDeviceObject *>(context);
    ULONG mask = static_cast<ULONG>(InterlockedExchange(&object->pendingStartMask, 0));
    for (ULONG i = 0; i < object->queueCount && mask; ++i)
        if (mask & (1u << i)) {
            mask &= ~(1u << i);
            if (KIrpQueue *q = object->queues[i])
                q->startNextPacket();
        }
}
