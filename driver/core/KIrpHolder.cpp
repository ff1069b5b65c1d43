// KIrpHolder: parking, taking, the cancel routine and the driver-wide walks.
#include "KIrpHolder.h"

#include "DriverGlobals.h"
#include "Pool.h"

KIrpHolder::KIrpHolder() : irp(nullptr), lock(0), lockIrql(HIGH_LEVEL), savedIrql(PASSIVE_LEVEL), removed(false)
{
    KeInitializeSpinLock(&lock);
    if (!DriverGlobals.acquireSpinLockAtDpcLevel) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"KeAcquireSpinLockAtDpcLevel");
        DriverGlobals.acquireSpinLockAtDpcLevel =
            reinterpret_cast<SpinLockRoutine>(MmGetSystemRoutineAddress(&name));
        RtlInitUnicodeString(&name, L"KeReleaseSpinLockFromDpcLevel");
        DriverGlobals.releaseSpinLockFromDpcLevel =
            reinterpret_cast<SpinLockRoutine>(MmGetSystemRoutineAddress(&name));
    }
    ExInterlockedInsertTailList(&DriverGlobals.irpHolderRegistry, &registryEntry, &DriverGlobals.irpHolderRegistryLock);
}

void KIrpHolder::Lock()
{
    KIRQL old;
    KeRaiseIrql(lockIrql, &old);
    DriverGlobals.acquireSpinLockAtDpcLevel(&lock);
    savedIrql = old;
}

void KIrpHolder::Unlock()
{
    KIRQL old = savedIrql;
    DriverGlobals.releaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
}

NTSTATUS KIrpHolder::Park(PIRP request)
{
    Lock();
    if (irp) {
        Unlock();
        return STATUS_DEVICE_BUSY;
    }
    if (removed) {
        Unlock();
        return STATUS_DEVICE_REMOVED;
    }
    request->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(request, CancelRoutine);
    if (request->Cancel && IoSetCancelRoutine(request, nullptr)) {
        Unlock();
        return STATUS_CANCELLED;
    }
    // Not cancelled, or its cancel routine is already running and will find
    // the IRP here.
    IoMarkIrpPending(request);
    irp = request;
    Unlock();
    return STATUS_PENDING;
}

PIRP KIrpHolder::TakeLocked()
{
    PIRP taken = irp;
    irp = nullptr;
    if (taken && IoSetCancelRoutine(taken, nullptr))
        return taken;
    return nullptr;
}

PIRP KIrpHolder::Take()
{
    Lock();
    PIRP taken = TakeLocked();
    Unlock();
    return taken;
}

// DISPATCH_LEVEL, cancel spin lock held on entry; completes the request.
void KIrpHolder::CancelRoutine(PDEVICE_OBJECT, PIRP request)
{
    IoReleaseCancelSpinLock(request->CancelIrql);
    auto *holder = static_cast<KIrpHolder *>(request->Tail.Overlay.DriverContext[0]);
    holder->Lock();
    if (holder->irp == request)
        holder->irp = nullptr;
    holder->Unlock();
    request->IoStatus.Status = STATUS_CANCELLED;
    holder->BeforeCancelComplete(request, STATUS_CANCELLED, 0);
    IofCompleteRequest(request, IO_NO_INCREMENT);
    holder->AfterCancelComplete(request, STATUS_CANCELLED, 0);
}

KIrpHolder::~KIrpHolder()
{
    removed = true;
    // Completion goes without the hooks: the derived part is already gone.
    Lock();
    PIRP taken = TakeLocked();
    Unlock();
    if (taken) {
        taken->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(taken, IO_NO_INCREMENT);
    }
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.irpHolderRegistryLock);
    RemoveEntryList(&registryEntry);
    KeReleaseSpinLock(&DriverGlobals.irpHolderRegistryLock, old);
}

template <typename Select> void KIrpHolder::CancelSelected(Select select, bool setRemoved, bool removedFlag)
{
    // Requests are collected under the registry lock and completed after it
    // is released; each one remembers its holder in DriverContext[0].
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.irpHolderRegistryLock);
    for (PLIST_ENTRY e = DriverGlobals.irpHolderRegistry.Flink; e != &DriverGlobals.irpHolderRegistry; e = e->Flink) {
        auto *holder = CONTAINING_RECORD(e, KIrpHolder, registryEntry);
        holder->Lock();
        if (holder->irp && select(holder->irp)) {
            PIRP request = holder->irp;
            holder->irp = nullptr;
            if (setRemoved)
                holder->removed = removedFlag;
            if (IoSetCancelRoutine(request, nullptr))
                InsertTailList(&cancelled, &request->Tail.Overlay.ListEntry);
        }
        holder->Unlock();
    }
    KeReleaseSpinLock(&DriverGlobals.irpHolderRegistryLock, old);
    while (!IsListEmpty(&cancelled)) {
        PIRP request = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
        auto *holder = static_cast<KIrpHolder *>(request->Tail.Overlay.DriverContext[0]);
        request->IoStatus.Status = STATUS_CANCELLED;
        holder->BeforeCancelComplete(request, STATUS_CANCELLED, 0);
        IofCompleteRequest(request, IO_NO_INCREMENT);
        holder->AfterCancelComplete(request, STATUS_CANCELLED, 0);
    }
}

void KIrpHolder::CancelHeldRequests(PDEVICE_OBJECT device, bool removedFlag)
{
    CancelSelected([device](PIRP request) {
        return !device || IoGetCurrentIrpStackLocation(request)->DeviceObject == device;
    }, true, removedFlag);
}

void KIrpHolder::CancelHeldRequestsForFile(PFILE_OBJECT fileObject)
{
    CancelSelected([fileObject](PIRP request) {
        return IoGetCurrentIrpStackLocation(request)->FileObject == fileObject;
    }, false, false);
}

void KIrpHolder::DestroyRegistry()
{
    for (;;) {
        PLIST_ENTRY e = nullptr;
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&DriverGlobals.irpHolderRegistryLock);
        if (!IsListEmpty(&DriverGlobals.irpHolderRegistry))
            e = DriverGlobals.irpHolderRegistry.Flink;
        KeReleaseSpinLock(&DriverGlobals.irpHolderRegistryLock, old);
        if (!e)
            return;
        auto *holder = CONTAINING_RECORD(e, KIrpHolder, registryEntry);
        holder->~KIrpHolder();
        FreePool(holder);
    }
}
