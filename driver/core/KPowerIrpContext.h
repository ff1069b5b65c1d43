// One system or device SET_POWER / QUERY_POWER request on its way through
// the power state machine. The context drives itself from the request's
// arrival to its completion and frees itself at the end.
#pragma once

#include "KIrpQueue.h"

class KPnpDevice;

enum PowerIrpState : LONG {
    InitialState = 0,
    SysPowerUpPending = 1,
    SubPowerUpPending = 2,
    SubPowerDownPending = 3,
    SysPowerDownPending = 4,
    DevPowerUpPending = 5,
    DevPowerDownPending = 6,
    ContextSavePending = 7,
    ContextRestorePending = 8,
    DevQueryUpPending = 9,
    DevQueryDownPending = 10,
    QueueStallPending = 11,
    PassiveCompletePending = 12,
    FinalState = 13,
    PowerIrpStateCount = 14,
};

enum PowerEvent : LONG {
    NewIrp = 0,
    MainIrpComplete = 1,
    AsyncNotify = 2,
    PowerEventCount = 3,
};

enum PowerAction : LONG {
    InvalidAction = 0,
    TriageNewIrp = 1,
    QueueStallComplete = 2,
    ForwardMainIrp = 3,
    SysPowerUpComplete = 4,
    SysPowerDownComplete = 5,
    SelectDState = 6,
    SendDeviceIrp = 7,
    CompleteMainIrp = 8,
    DestroyContext = 9,
    SubPowerUpComplete = 10,
    SubPowerDownComplete = 11,
    DevPowerUpComplete = 12,
    SaveContext = 13,
    ContextSaveComplete = 14,
    ContextRestoreComplete = 15,
    DevQueryUpComplete = 16,
    DevQueryDown = 17,
    DevQueryDownComplete = 18,
    RestoreContext = 19,
    PowerActionCount = 20,
};

// The action an event starts in a state.
extern const UCHAR kPowerTransitions[PowerIrpStateCount][PowerEventCount];

class KPowerIrpContext : public KQueueIdleTarget {
public:
    // A zero-filled context for the request, or null without memory.
    static KPowerIrpContext *Create(KPnpDevice *device, PIRP irp);

    // Any IRQL up to DISPATCH_LEVEL. Events for one context never overlap;
    // the context may be gone when this returns.
    NTSTATUS HandleEvent(LONG event) override;

    KPnpDevice *device;
    PIRP irp;
    LONG state;
    NTSTATUS status;
    LONG deviceState;
    LONG previousDeviceState;
    UCHAR minor;
    bool stalledQueues;

private:
    // What one pass through the action loop carries.
    struct Step {
        LONG event;
        NTSTATUS result;
        bool resultSet;
        void Set(NTSTATUS value)
        {
            result = value;
            resultSet = true;
        }
        void Default(NTSTATUS value)
        {
            if (!resultSet)
                Set(value);
        }
    };
    // Returned by an action that ends the pass.
    static constexpr LONG kReturn = -1;
    using ActionRoutine = LONG (*)(KPowerIrpContext &self, Step &step);
    template <LONG (KPowerIrpContext::*Action)(Step &)>
    static LONG Run(KPowerIrpContext &self, Step &step)
    {
        return (self.*Action)(step);
    }
    static const ActionRoutine kActions[PowerActionCount];

    KPowerIrpContext(KPnpDevice *owner, PIRP request);

    LONG OnInvalidAction(Step &step);
    LONG OnTriageNewIrp(Step &step);
    LONG OnQueueStallComplete(Step &step);
    LONG OnForwardMainIrp(Step &step);
    LONG OnSysPowerUpComplete(Step &step);
    LONG OnSysPowerDownComplete(Step &step);
    LONG OnSelectDState(Step &step);
    LONG OnSendDeviceIrp(Step &step);
    LONG OnCompleteMainIrp(Step &step);
    LONG OnDestroyContext(Step &step);
    LONG OnSubPowerUpComplete(Step &step);
    LONG OnSubPowerDownComplete(Step &step);
    LONG OnDevPowerUpComplete(Step &step);
    LONG OnSaveContext(Step &step);
    LONG OnContextSaveComplete(Step &step);
    LONG OnContextRestoreComplete(Step &step);
    LONG OnDevQueryUpComplete(Step &step);
    LONG OnDevQueryDown(Step &step);
    LONG OnDevQueryDownComplete(Step &step);
    LONG OnRestoreContext(Step &step);

    bool IsSetPower() const { return mainMinor == IRP_MN_SET_POWER; }
    void IgnoreDeviceFailureOfSystemSet();
    NTSTATUS CallPowerDriver();

    static NTSTATUS MainIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static VOID DeviceIrpCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                    PIO_STATUS_BLOCK ioStatus);
    static VOID PassiveNotify(PVOID context);
    static VOID PassiveCallDriver(PVOID irp);

    // Taken from the main request at arrival: the request may be released
    // before the context ends.
    UCHAR mainMinor;
    bool systemIrp;
    LONG newState;
    bool holdsRemoveLock;
};
