// IRP_MJ_POWER for every Plug and Play device, device power requests,
// wait-wake arming and the context save/restore walk.
#include "KPnpDevice.h"

#include "Completion.h"
#include "DriverGlobals.h"
#include "KPowerIrpContext.h"
#include "KWorkItem.h"
#include "Pool.h"

namespace {

struct PowerWait {
    KEVENT done;
    NTSTATUS status;
};

// Any IRQL up to DISPATCH_LEVEL.
VOID PowerWaitCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    auto *wait = static_cast<PowerWait *>(context);
    wait->status = ioStatus->Status;
    KeSetEvent(&wait->done, 1, FALSE);
}

// Delivers a wait-wake result at PASSIVE_LEVEL; holds the device's remove
// lock until it has run.
class WaitWakeNotification : public KWorkItem {
public:
    WaitWakeNotification(void *storage, KPnpDevice *target, NTSTATUS result)
        : KWorkItem(storage, nullptr), device(target), status(result)
    {
    }
    void Run(PVOID) override
    {
        device->OnWaitWakeComplete(status);
        device->ReleaseRemoveLock();
    }

private:
    KPnpDevice *device;
    NTSTATUS status;
};

}  // namespace

NTSTATUS KPnpDevice::DispatchPower(PIRP irp)
{
    NTSTATUS status = AcquireRemoveLock();
    if (!NT_SUCCESS(status)) {
        // The power manager still needs to hear that this driver is done.
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, status, 0);
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        if (KPowerIrpContext *context = KPowerIrpContext::Create(this, irp)) {
            status = context->HandleEvent(NewIrp);
        } else {
            PoStartNextPowerIrp(irp);
            status = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        break;
    case IRP_MN_WAIT_WAKE:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, WaitWakePassThroughCompletion, this, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        status = PoCallDriver(lowerDevice, irp);
        break;
    default:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = PoCallDriver(lowerDevice, irp);
        break;
    }
    ReleaseRemoveLock();
    return status;
}

NTSTATUS KPnpDevice::RequestPowerIrp(LONG deviceState, bool wait)
{
    POWER_STATE requested;
    requested.DeviceState = static_cast<DEVICE_POWER_STATE>(deviceState);
    if (!wait)
        return PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, requested, nullptr, nullptr, nullptr);
    PowerWait result;
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    result.status = STATUS_SUCCESS;
    NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, requested, PowerWaitCompletion, &result, nullptr);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, nullptr);
    return result.status;
}

NTSTATUS KPnpDevice::RequestDevicePower(LONG deviceState, bool wait)
{
    if (pnpState != Stopped && pnpState != Working)
        return STATUS_SUCCESS;
    NTSTATUS status = RequestPowerIrp(deviceState, wait);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS KPnpDevice::EnsurePoweredUp(bool wait)
{
    if (currentDevicePowerState == PowerDeviceD0)
        return STATUS_SUCCESS;
    NTSTATUS status = RequestPowerIrp(PowerDeviceD0, wait);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

LONG KPnpDevice::SelectDevicePowerState(LONG systemState)
{
    if (systemState == PowerSystemWorking)
        return PowerDeviceD0;
    if (systemState <= PowerSystemUnspecified || systemState >= PowerSystemMaximum)
        return PowerDeviceD3;
    LONG mapped = capabilities.DeviceState[systemState];
    LONG wake = wakeEnabled && systemState <= capabilities.SystemWake ? capabilities.DeviceWake : PowerDeviceD3;
    return mapped > wake ? mapped : wake;
}

bool KPnpDevice::OkToChangePower(LONG, LONG) { return true; }

void KPnpDevice::OnWaitWakeComplete(NTSTATUS status)
{
    if (!NT_SUCCESS(status))
        return;
    RequestPowerIrp(PowerDeviceD0, false);
    SetWakeArming(WakeRearm);
}

NTSTATUS KPnpDevice::SetWakeArming(LONG mode)
{
    switch (mode) {
    case WakeEnable:
        wakeEnabled = true;
        break;
    case WakeDisable:
        wakeEnabled = false;
        break;
    case WakeRearm:
        break;
    case WakeCancel:
        break;
    default:
        return STATUS_SUCCESS;
    }
    if (mode != WakeCancel && wakeEnabled) {
        if (capabilities.DeviceWake == PowerDeviceUnspecified || capabilities.SystemWake == PowerSystemUnspecified ||
            InterlockedExchange(&waitWakePending, 1) != 0)
            return STATUS_SUCCESS;
        // The outstanding wait-wake request holds the remove lock: its
        // completion touches the device, which removal must wait for.
        NTSTATUS status = AcquireRemoveLock();
        if (NT_SUCCESS(status)) {
            InterlockedExchange(&waitWakeRace, 0);
            POWER_STATE wake;
            wake.SystemState = DriverGlobals.wdmOrdinal <= 1 ? PowerSystemWorking : capabilities.SystemWake;
            PIRP *slot = const_cast<PIRP *>(&waitWakeIrp);
            status = PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, wake, WaitWakeCompletion, this, slot);
            if (NT_SUCCESS(status))
                return STATUS_SUCCESS;
            ReleaseRemoveLock();
        }
        wakeEnabled = false;
        InterlockedExchange(&waitWakePending, 0);
        return status;
    }
    PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&waitWakeIrp), nullptr));
    if (irp) {
        IoCancelIrp(irp);
        // Second to arrive completes it: the pass-through completion kept it.
        if (InterlockedExchange(&waitWakeRace, 1) != 0)
            IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_SUCCESS;
}

// Any IRQL up to DISPATCH_LEVEL. Decides with the cancel path which of the
// two lets the wait-wake request finish.
NTSTATUS KPnpDevice::WaitWakePassThroughCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *device = static_cast<KPnpDevice *>(context);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&device->waitWakeIrp), nullptr))
        return STATUS_SUCCESS;
    if (InterlockedExchange(&device->waitWakeRace, 1) == 0)
        return STATUS_MORE_PROCESSING_REQUIRED;
    return STATUS_SUCCESS;
}

// Any IRQL up to DISPATCH_LEVEL: the wait-wake request has finished.
VOID KPnpDevice::WaitWakeCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    auto *device = static_cast<KPnpDevice *>(context);
    NTSTATUS status = ioStatus->Status;
    InterlockedExchange(&device->waitWakePending, 0);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        device->OnWaitWakeComplete(status);
        device->ReleaseRemoveLock();
        return;
    }
    void *storage = KWorkItem::Allocate(sizeof(WaitWakeNotification), device);
    if (!storage) {
        device->ReleaseRemoveLock();  // the notification is dropped
        return;
    }
    (new (storage) WaitWakeNotification(storage, device, status))->Queue();
}

void KPnpDevice::RegisterPowerContextCallbacks(PowerContextRoutine saveRoutine, PVOID saveContext,
                                               PowerContextRoutine restoreRoutine, PVOID restoreContext)
{
    auto *node = static_cast<PowerContextCallback *>(AllocatePool(sizeof(PowerContextCallback)));
    if (!node)
        return;
    node->saveRoutine = saveRoutine;
    node->saveContext = saveContext;
    node->restoreRoutine = restoreRoutine;
    node->restoreContext = restoreContext;
    ExInterlockedInsertTailList(&powerCallbacks, &node->link, &powerCallbackLock);
}

// powerCallbackLock held at irql; returns with it released. Calls each
// remaining routine of the walk's kind without the lock.
NTSTATUS KPnpDevice::ContinueContextWalkLocked(KIRQL irql)
{
    for (PLIST_ENTRY e = contextCursor->Flink; e != &powerCallbacks; e = contextCursor->Flink) {
        contextCursor = e;
        auto *node = CONTAINING_RECORD(e, PowerContextCallback, link);
        PowerContextRoutine routine = contextSaving ? node->saveRoutine : node->restoreRoutine;
        if (!routine)
            continue;
        PVOID routineContext = contextSaving ? node->saveContext : node->restoreContext;
        KeReleaseSpinLock(&powerCallbackLock, irql);
        if (routine(routineContext, contextFrom, contextTo) == STATUS_PENDING)
            return STATUS_PENDING;
        irql = KeAcquireSpinLockRaiseToDpc(&powerCallbackLock);
    }
    KeReleaseSpinLock(&powerCallbackLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS KPnpDevice::RunContextWalk(bool save, LONG from, LONG to, KPowerIrpContext *context)
{
    if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile *>(&contextOwner), context, nullptr))
        return STATUS_SUCCESS;  // another walk is running
    contextSaving = save;
    contextFrom = from;
    contextTo = to;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&powerCallbackLock);
    contextCursor = &powerCallbacks;
    if (ContinueContextWalkLocked(irql) == STATUS_PENDING)
        return STATUS_PENDING;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&contextOwner), nullptr);
    return STATUS_SUCCESS;
}

void KPnpDevice::ResumeContextWalk()
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&powerCallbackLock);
    if (ContinueContextWalkLocked(irql) == STATUS_PENDING)
        return;
    auto *owner = static_cast<KPowerIrpContext *>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&contextOwner), nullptr));
    if (owner)
        owner->HandleEvent(AsyncNotify);
}
