// The power state machine: the transition table and its actions.
#include "KPowerIrpContext.h"

#include "DriverGlobals.h"
#include "KPnpDevice.h"
#include "Pool.h"

const UCHAR kPowerTransitions[PowerIrpStateCount][PowerEventCount] = {
    //                             NewIrp         MainIrpComplete       AsyncNotify
    /* InitialState */            {TriageNewIrp, InvalidAction,        InvalidAction},
    /* SysPowerUpPending */       {InvalidAction, SysPowerUpComplete,  InvalidAction},
    /* SubPowerUpPending */       {InvalidAction, InvalidAction,       SubPowerUpComplete},
    /* SubPowerDownPending */     {InvalidAction, InvalidAction,       SubPowerDownComplete},
    /* SysPowerDownPending */     {InvalidAction, SysPowerDownComplete, InvalidAction},
    /* DevPowerUpPending */       {InvalidAction, DevPowerUpComplete,  InvalidAction},
    /* DevPowerDownPending */     {InvalidAction, CompleteMainIrp,     InvalidAction},
    /* ContextSavePending */      {InvalidAction, InvalidAction,       ContextSaveComplete},
    /* ContextRestorePending */   {InvalidAction, InvalidAction,       ContextRestoreComplete},
    /* DevQueryUpPending */       {InvalidAction, DevQueryUpComplete,  InvalidAction},
    /* DevQueryDownPending */     {InvalidAction, DevQueryDownComplete, InvalidAction},
    /* QueueStallPending */       {InvalidAction, InvalidAction,       QueueStallComplete},
    /* PassiveCompletePending */  {InvalidAction, InvalidAction,       CompleteMainIrp},
    /* FinalState */              {InvalidAction, InvalidAction,       InvalidAction},
};

const KPowerIrpContext::ActionRoutine KPowerIrpContext::kActions[PowerActionCount] = {
    /* InvalidAction */ &Run<&KPowerIrpContext::OnInvalidAction>,
    /* TriageNewIrp */ &Run<&KPowerIrpContext::OnTriageNewIrp>,
    /* QueueStallComplete */ &Run<&KPowerIrpContext::OnQueueStallComplete>,
    /* ForwardMainIrp */ &Run<&KPowerIrpContext::OnForwardMainIrp>,
    /* SysPowerUpComplete */ &Run<&KPowerIrpContext::OnSysPowerUpComplete>,
    /* SysPowerDownComplete */ &Run<&KPowerIrpContext::OnSysPowerDownComplete>,
    /* SelectDState */ &Run<&KPowerIrpContext::OnSelectDState>,
    /* SendDeviceIrp */ &Run<&KPowerIrpContext::OnSendDeviceIrp>,
    /* CompleteMainIrp */ &Run<&KPowerIrpContext::OnCompleteMainIrp>,
    /* DestroyContext */ &Run<&KPowerIrpContext::OnDestroyContext>,
    /* SubPowerUpComplete */ &Run<&KPowerIrpContext::OnSubPowerUpComplete>,
    /* SubPowerDownComplete */ &Run<&KPowerIrpContext::OnSubPowerDownComplete>,
    /* DevPowerUpComplete */ &Run<&KPowerIrpContext::OnDevPowerUpComplete>,
    /* SaveContext */ &Run<&KPowerIrpContext::OnSaveContext>,
    /* ContextSaveComplete */ &Run<&KPowerIrpContext::OnContextSaveComplete>,
    /* ContextRestoreComplete */ &Run<&KPowerIrpContext::OnContextRestoreComplete>,
    /* DevQueryUpComplete */ &Run<&KPowerIrpContext::OnDevQueryUpComplete>,
    /* DevQueryDown */ &Run<&KPowerIrpContext::OnDevQueryDown>,
    /* DevQueryDownComplete */ &Run<&KPowerIrpContext::OnDevQueryDownComplete>,
    /* RestoreContext */ &Run<&KPowerIrpContext::OnRestoreContext>,
};

namespace {

bool Legacy() { return DriverGlobals.legacyPlatform; }

// The work-queue item of the legacy paths lives in the request's
// driver-context area, which is exactly its size.
static_assert(sizeof(WORK_QUEUE_ITEM) <= sizeof(((IRP *)nullptr)->Tail.Overlay.DriverContext),
              "work item fits the driver context");

PWORK_QUEUE_ITEM WorkItemIn(PIRP irp) { return reinterpret_cast<PWORK_QUEUE_ITEM>(irp->Tail.Overlay.DriverContext); }

}  // namespace

KPowerIrpContext::KPowerIrpContext(KPnpDevice *owner, PIRP request)
    : device(owner), irp(request), state(InitialState), status(STATUS_SUCCESS), deviceState(PowerDeviceUnspecified),
      previousDeviceState(PowerDeviceUnspecified), minor(0), stalledQueues(false), holdsRemoveLock(false)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(request);
    mainMinor = sp->MinorFunction;
    systemIrp = sp->Parameters.Power.Type == SystemPowerState;
    newState = systemIrp ? static_cast<LONG>(sp->Parameters.Power.State.SystemState)
                         : static_cast<LONG>(sp->Parameters.Power.State.DeviceState);
}

KPowerIrpContext *KPowerIrpContext::Create(KPnpDevice *device, PIRP irp)
{
    void *storage = AllocateZeroedPool(sizeof(KPowerIrpContext));
    return storage ? new (storage) KPowerIrpContext(device, irp) : nullptr;
}

NTSTATUS KPowerIrpContext::HandleEvent(LONG event)
{
    Step step{event, STATUS_UNSUCCESSFUL, false};
    LONG action = (state >= 0 && state < PowerIrpStateCount && event >= 0 && event < PowerEventCount)
                      ? kPowerTransitions[state][event]
                      : static_cast<LONG>(InvalidAction);
    // An action that returns kReturn may have handed the context to another
    // party (or freed it): only the step, a local, is read afterwards.
    while (action != kReturn) {
        if (action < 0 || action >= PowerActionCount)
            action = InvalidAction;
        action = kActions[action](*this, step);
    }
    return step.result;
}

LONG KPowerIrpContext::OnInvalidAction(Step &step)
{
    step.Set(STATUS_UNSUCCESSFUL);
    return kReturn;
}

LONG KPowerIrpContext::OnTriageNewIrp(Step &step)
{
    IoMarkIrpPending(irp);
    step.Set(STATUS_PENDING);
    status = device->AcquireRemoveLock();
    if (!NT_SUCCESS(status))
        return CompleteMainIrp;
    holdsRemoveLock = true;
    if (systemIrp) {
        if (newState < device->currentSystemPowerState) {
            state = SysPowerUpPending;
            return ForwardMainIrp;
        }
        if (mainMinor == IRP_MN_QUERY_POWER)
            device->SetWakeArming(WakeRearm);
        state = SubPowerDownPending;
        return SelectDState;
    }
    state = QueueStallPending;
    if (device->queueCount == 0 || device->queuesStalledForPower)
        return QueueStallComplete;
    stalledQueues = true;
    device->queuesStalledForPower = true;
    KPnpDevice *owner = device;
    NTSTATUS rc = owner->stallAndNotifyWhenIdle(this);
    if (rc == STATUS_PENDING) {
        // The notification may already have run this context to its end.
        owner->CancelOutstandingIo();
        return kReturn;
    }
    if (!NT_SUCCESS(rc)) {
        status = rc;
        stalledQueues = false;
        device->queuesStalledForPower = false;
        return CompleteMainIrp;
    }
    return QueueStallComplete;
}

LONG KPowerIrpContext::OnQueueStallComplete(Step &step)
{
    step.Default(STATUS_MORE_PROCESSING_REQUIRED);
    LONG current = device->currentDevicePowerState;
    if (IsSetPower()) {
        if (newState < current) {
            state = DevPowerUpPending;
            return ForwardMainIrp;
        }
        if (newState == current) {
            state = DevPowerDownPending;
            return ForwardMainIrp;
        }
        return SaveContext;
    }
    if (newState < current) {
        state = DevQueryUpPending;
        return ForwardMainIrp;
    }
    return DevQueryDown;
}

LONG KPowerIrpContext::OnForwardMainIrp(Step &)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, MainIrpCompletion, this, TRUE, TRUE, TRUE);
    CallPowerDriver();
    return kReturn;
}

// On a legacy platform power requests must travel at PASSIVE_LEVEL.
NTSTATUS KPowerIrpContext::CallPowerDriver()
{
    PIRP request = irp;
    if (Legacy() && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        IoMarkIrpPending(request);
        ExInitializeWorkItem(WorkItemIn(request), PassiveCallDriver, request);
        ExQueueWorkItem(WorkItemIn(request), CriticalWorkQueue);
        return STATUS_PENDING;
    }
    return PoCallDriver(device->lowerDevice, request);
}

// PASSIVE_LEVEL, system worker thread. The request's current location is
// this driver's; its device finds the lower device.
VOID KPowerIrpContext::PassiveCallDriver(PVOID request)
{
    auto irp = static_cast<PIRP>(request);
    auto *owner = static_cast<KPnpDevice *>(IoGetCurrentIrpStackLocation(irp)->DeviceObject->DeviceExtension);
    PoCallDriver(owner->lowerDevice, irp);
}

LONG KPowerIrpContext::OnSysPowerUpComplete(Step &step)
{
    if (!NT_SUCCESS(status))
        return CompleteMainIrp;
    state = SubPowerUpPending;
    step.Set(STATUS_MORE_PROCESSING_REQUIRED);
    if (IsSetPower()) {
        device->currentSystemPowerState = newState;
        // The system request to S0 completes without waiting for the
        // device to reach D0. The context keeps the remove lock: it still
        // uses the device until the D0 request has ended.
        if (newState == PowerSystemWorking && !Legacy()) {
            PoStartNextPowerIrp(irp);
            irp = nullptr;
            step.Set(STATUS_SUCCESS);
        }
    }
    return SelectDState;
}

LONG KPowerIrpContext::OnSysPowerDownComplete(Step &)
{
    if (IsSetPower())
        device->currentSystemPowerState = newState;
    return CompleteMainIrp;
}

LONG KPowerIrpContext::OnSelectDState(Step &)
{
    deviceState = device->SelectDevicePowerState(newState);
    minor = mainMinor;
    return SendDeviceIrp;
}

LONG KPowerIrpContext::OnSendDeviceIrp(Step &)
{
    if (deviceState == device->currentDevicePowerState) {
        status = STATUS_SUCCESS;
        return kPowerTransitions[state][AsyncNotify];
    }
    POWER_STATE requested;
    requested.DeviceState = static_cast<DEVICE_POWER_STATE>(deviceState);
    NTSTATUS rc = PoRequestPowerIrp(device->pdo, minor, requested, DeviceIrpCompletion, this, nullptr);
    if (NT_SUCCESS(rc))
        return kReturn;  // the completion posts the next event
    // Handled as a device request that failed: a query fails with it, a set
    // goes on without it.
    status = rc;
    return kPowerTransitions[state][AsyncNotify];
}

LONG KPowerIrpContext::OnCompleteMainIrp(Step &step)
{
    if (Legacy() && KeGetCurrentIrql() > PASSIVE_LEVEL && irp) {
        ExInitializeWorkItem(WorkItemIn(irp), PassiveNotify, this);
        state = PassiveCompletePending;
        if (step.event == MainIrpComplete)
            step.Set(STATUS_MORE_PROCESSING_REQUIRED);
        ExQueueWorkItem(WorkItemIn(irp), CriticalWorkQueue);
        return kReturn;
    }
    // A SET_POWER that leaves the device in D0 ends a stall a granted down
    // query left behind, even when it needed no D-state change itself:
    // otherwise a vetoed sleep would keep the queues stalled for good. Only
    // that stall: one a power-down in progress made is not this context's.
    if (!stalledQueues && IsSetPower() && NT_SUCCESS(status) && device->stallLeftByQuery &&
        device->currentDevicePowerState == PowerDeviceD0)
        stalledQueues = true;
    // The queues restart before the remove lock goes: the device may be
    // destroyed as soon as it is released. Only the context that ends the
    // power stall restarts: two power-ups in flight must not both undo it.
    if (stalledQueues) {
        stalledQueues = false;
        if (device->queuesStalledForPower) {
            device->queuesStalledForPower = false;
            device->stallLeftByQuery = false;
            device->restartAllRequests();
        }
    }
    if (irp) {
        PIRP request = irp;
        irp = nullptr;
        request->IoStatus.Status = status;
        PoStartNextPowerIrp(request);
        if (step.event == MainIrpComplete) {
            step.Set(status);
        } else {
            IofCompleteRequest(request, IO_NO_INCREMENT);
            step.Default(STATUS_SUCCESS);
        }
    }
    if (holdsRemoveLock) {
        holdsRemoveLock = false;
        device->ReleaseRemoveLock();
    }
    return DestroyContext;
}

// PASSIVE_LEVEL, system worker thread.
VOID KPowerIrpContext::PassiveNotify(PVOID context) { static_cast<KPowerIrpContext *>(context)->HandleEvent(AsyncNotify); }

LONG KPowerIrpContext::OnDestroyContext(Step &)
{
    state = FinalState;
    this->~KPowerIrpContext();
    FreePool(this);
    return kReturn;
}

// The device request a system request asked for has ended. A system
// SET_POWER may not fail: the device stays in the state it is in, the system
// request still goes down (power-down) or has gone down already (power-up),
// and the lower drivers' answer is its result.
void KPowerIrpContext::IgnoreDeviceFailureOfSystemSet()
{
    if (!NT_SUCCESS(status) && IsSetPower())
        status = STATUS_SUCCESS;
}

LONG KPowerIrpContext::OnSubPowerUpComplete(Step &step)
{
    step.Default(STATUS_SUCCESS);
    IgnoreDeviceFailureOfSystemSet();
    return CompleteMainIrp;
}

LONG KPowerIrpContext::OnSubPowerDownComplete(Step &step)
{
    step.Default(STATUS_SUCCESS);
    IgnoreDeviceFailureOfSystemSet();
    if (!NT_SUCCESS(status))
        return CompleteMainIrp;
    state = SysPowerDownPending;
    return ForwardMainIrp;
}

LONG KPowerIrpContext::OnDevPowerUpComplete(Step &step)
{
    if (!NT_SUCCESS(status) || mainMinor == IRP_MN_QUERY_POWER)
        return CompleteMainIrp;
    step.Set(STATUS_MORE_PROCESSING_REQUIRED);
    previousDeviceState = device->currentDevicePowerState;
    device->currentDevicePowerState = newState;
    return RestoreContext;
}

LONG KPowerIrpContext::OnSaveContext(Step &)
{
    if (newState > device->currentDevicePowerState) {
        state = ContextSavePending;
        if (device->RunContextWalk(true, device->currentDevicePowerState, newState, this) == STATUS_PENDING)
            return kReturn;
    }
    return ContextSaveComplete;
}

LONG KPowerIrpContext::OnContextSaveComplete(Step &step)
{
    // The queues stay stalled while the device is powered down; a stall a
    // down query left is this power-down's now.
    stalledQueues = false;
    device->stallLeftByQuery = false;
    state = DevPowerDownPending;
    if (step.event == AsyncNotify)
        step.Set(STATUS_SUCCESS);
    if (newState > device->currentDevicePowerState)
        device->currentDevicePowerState = newState;
    return ForwardMainIrp;
}

LONG KPowerIrpContext::OnRestoreContext(Step &)
{
    state = ContextRestorePending;
    if (device->RunContextWalk(false, previousDeviceState, device->currentDevicePowerState, this) == STATUS_PENDING)
        return kReturn;
    return ContextRestoreComplete;
}

LONG KPowerIrpContext::OnContextRestoreComplete(Step &step)
{
    if (step.event == AsyncNotify)
        step.Set(STATUS_SUCCESS);
    if (NT_SUCCESS(status) && device->currentDevicePowerState == PowerDeviceD0 && device->queueCount)
        stalledQueues = true;
    return CompleteMainIrp;
}

LONG KPowerIrpContext::OnDevQueryUpComplete(Step &)
{
    if (NT_SUCCESS(status) && !device->OkToChangePower(device->currentDevicePowerState, newState))
        status = STATUS_UNSUCCESSFUL;
    return CompleteMainIrp;
}

LONG KPowerIrpContext::OnDevQueryDown(Step &)
{
    if (newState <= device->currentDevicePowerState ||
        device->OkToChangePower(device->currentDevicePowerState, newState)) {
        state = DevQueryDownPending;
        return ForwardMainIrp;
    }
    status = STATUS_UNSUCCESSFUL;
    return DevQueryDownComplete;
}

LONG KPowerIrpContext::OnDevQueryDownComplete(Step &)
{
    if (status == STATUS_INVALID_PARAMETER)
        status = STATUS_SUCCESS;
    // A successful query leaves the queues stalled for the coming power-down.
    if (NT_SUCCESS(status) && stalledQueues) {
        stalledQueues = false;
        device->stallLeftByQuery = true;
    }
    return CompleteMainIrp;
}

// Any IRQL up to DISPATCH_LEVEL; the lower drivers are done with the request.
NTSTATUS KPowerIrpContext::MainIrpCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *self = static_cast<KPowerIrpContext *>(context);
    self->status = irp->IoStatus.Status;
    return self->HandleEvent(MainIrpComplete);
}

// Any IRQL up to DISPATCH_LEVEL: the device request this context asked for
// has finished.
VOID KPowerIrpContext::DeviceIrpCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                           PIO_STATUS_BLOCK ioStatus)
{
    auto *self = static_cast<KPowerIrpContext *>(context);
    self->status = ioStatus->Status;
    self->HandleEvent(AsyncNotify);
}
