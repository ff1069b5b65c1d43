// A cancel-safe slot that parks one request, and the driver-wide registry of
// every live slot.
//
// Who owns a parked IRP when a cancellation races with Take, Park or
// CancelHeldRequests is decided by the atomic exchange of the IRP's
// CancelRoutine: whoever obtains the non-null routine completes the IRP.
#pragma once

#include "Portability.h"

class KIrpHolder {
public:
    KIrpHolder();
    virtual ~KIrpHolder();
    KIrpHolder(const KIrpHolder &) = delete;
    KIrpHolder &operator=(const KIrpHolder &) = delete;

    // Any IRQL up to DISPATCH_LEVEL. STATUS_PENDING: parked and marked
    // pending. STATUS_CANCELLED: the IRP was already cancelled; the caller
    // completes it. STATUS_DEVICE_BUSY or STATUS_DEVICE_REMOVED: not parked.
    NTSTATUS Park(PIRP irp);
    // Any IRQL up to DISPATCH_LEVEL. The parked IRP, now the caller's, or
    // null when there is none or its cancel routine owns it.
    PIRP Take();

    // Around the completion of a cancelled IRP; the defaults do nothing.
    virtual void BeforeCancelComplete(PIRP irp, NTSTATUS status, ULONG_PTR information) {}
    virtual void AfterCancelComplete(PIRP irp, NTSTATUS status, ULONG_PTR information) {}

    // Cancels the IRPs parked for `device` (every device when null) and sets
    // each affected holder's removed flag to removedFlag. DISPATCH_LEVEL or
    // below; completes the IRPs after every lock is released.
    static void CancelHeldRequests(PDEVICE_OBJECT device, bool removedFlag);
    static void CancelHeldRequestsForFile(PFILE_OBJECT fileObject);
    // Unload: destroys the holders still registered and frees their storage.
    static void DestroyRegistry();

    LIST_ENTRY registryEntry;
    PIRP irp;
    KSPIN_LOCK lock;
    KIRQL lockIrql;
    KIRQL savedIrql;
    bool removed;

private:
    void Lock();
    void Unlock();
    // Holder lock held: takes the parked IRP back from its cancel routine.
    PIRP TakeLocked();
    static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    template <typename Select> static void CancelSelected(Select select, bool setRemoved, bool removedFlag);
};
