// A serialised request queue: one current request, a FIFO of waiting ones, a
// stall count and an abort status. Waiting requests can be cancelled at any
// time; the atomic exchange of a request's cancel routine decides whether the
// queue or the cancel routine owns it.
#pragma once

#include "Portability.h"

class KDeviceObject;

// What the power code hands to stallAndNotifyWhenIdle: told event 2 once the
// stalled queues have no current request.
class KQueueIdleTarget {
public:
    virtual NTSTATUS HandleEvent(LONG event) = 0;

protected:
    ~KQueueIdleTarget() = default;
};

constexpr LONG kQueuesIdleEvent = 2;

class KIrpQueue {
public:
    using StartRoutine = void (*)(KDeviceObject *owner, PIRP irp);
    using IdleCallback = void (*)(PVOID context);

    KIrpQueue(KDeviceObject *queueOwner, StartRoutine routine);
    // Waiting requests still queued are completed with STATUS_DELETE_PENDING.
    virtual ~KIrpQueue();
    KIrpQueue(const KIrpQueue &) = delete;
    KIrpQueue &operator=(const KIrpQueue &) = delete;

    // Starts the request as the current one: DISPATCH_LEVEL, no lock held.
    virtual void StartRequest(PIRP irp);

    // DISPATCH_LEVEL or below. The request is already marked pending.
    void startPacket(PIRP irp);
    void startNextPacket();
    void restartRequests();
    bool isIdle();
    void cleanupRequests(PFILE_OBJECT fileObject, NTSTATUS status);

    // Queue lock held by the caller (stallAndNotifyWhenIdle takes all of them).
    void LockAtDpcLevel() { KeAcquireSpinLockAtDpcLevel(&lock); }
    void UnlockFromDpcLevel() { KeReleaseSpinLockFromDpcLevel(&lock); }

    LIST_ENTRY waiting;
    KSPIN_LOCK lock;
    KIRQL savedIrql;
    KDeviceObject *owner;
    StartRoutine start;
    volatile LONG stallCount;
    PIRP current;
    KEVENT stopEvent;
    IdleCallback idleCallback;
    PVOID idleContext;
    NTSTATUS abortStatus;

private:
    void Lock();
    // Lock held; returns with it released and the IRQL restored.
    void StartLocked(PIRP irp);
    // Lock held: the next waiting request that can be started, or null.
    PIRP NextStartableLocked();
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
};
