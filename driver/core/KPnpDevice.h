// Base of every device object that Plug and Play manages: attachment to the
// device stack, the remove lock, the Plug and Play state machine, device
// interfaces, power management and WMI.
#pragma once

#include "KDeviceObject.h"

class KWmiBlock;
class KWmiProvider;
class KPowerIrpContext;

enum PnpState : LONG {
    Stopped = 0,
    Working = 1,
    PendingStop = 2,
    PendingRemove = 3,
    SurpriseRemoved = 4,
    Removed = 5,
};

enum WakeArmingMode : LONG {
    WakeEnable = 0,
    WakeDisable = 1,
    WakeRearm = 2,
    WakeCancel = 3,
};

struct RemoveLock {
    volatile LONG count;
    bool removing;
    KEVENT event;
};

struct DeviceInterface {
    LIST_ENTRY link;
    GUID guid;
    PDEVICE_OBJECT pdo;
    UNICODE_STRING symbolicLinkName;
    bool enabled;
};

// Saves or restores device context around a device power change; returns
// STATUS_PENDING when it finishes later by calling ResumeContextWalk.
using PowerContextRoutine = NTSTATUS (*)(PVOID context, LONG fromDeviceState, LONG toDeviceState);

struct PowerContextCallback {
    LIST_ENTRY link;
    PowerContextRoutine saveRoutine;
    PVOID saveContext;
    PowerContextRoutine restoreRoutine;
    PVOID restoreContext;
};

class KPnpDevice : public KDeviceObject {
public:
    KPnpDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KPnpDevice() override;

    // PASSIVE_LEVEL. Attaches to the PDO's stack (failure raises
    // STATUS_DEVICE_REMOVED) and registers with WMI.
    NTSTATUS CompleteInitialization() override;

    NTSTATUS DispatchPnp(PIRP irp) override;
    NTSTATUS DispatchPower(PIRP irp) override;
    NTSTATUS DispatchSystemControl(PIRP irp) override;

    // Plug and Play minor handlers; PASSIVE_LEVEL, remove lock held. Each
    // completes or forwards the request.
    virtual NTSTATUS HandleStartDevice(PIRP irp);
    virtual NTSTATUS HandleQueryRemoveDevice(PIRP irp);
    // Releases the remove lock itself and destroys the object.
    virtual NTSTATUS HandleRemoveDevice(PIRP irp);
    virtual NTSTATUS HandleCancelRemoveDevice(PIRP irp);
    virtual NTSTATUS HandleStopDevice(PIRP irp);
    virtual NTSTATUS HandleQueryDeviceRelations(PIRP irp);
    virtual NTSTATUS HandleQueryStopDevice(PIRP irp);
    virtual NTSTATUS HandleCancelStopDevice(PIRP irp);
    virtual NTSTATUS HandleQueryCapabilities(PIRP irp);
    virtual NTSTATUS HandleQueryPnpDeviceState(PIRP irp);
    virtual NTSTATUS HandleSurpriseRemoval(PIRP irp);
    virtual NTSTATUS RequestDevicePower(LONG deviceState, bool wait);
    virtual void AdjustCapabilities(PDEVICE_CAPABILITIES caps, bool beforeLowerDrivers);
    // PASSIVE_LEVEL.
    virtual void OnWaitWakeComplete(NTSTATUS status);
    virtual LONG SelectDevicePowerState(LONG systemState);
    virtual NTSTATUS EnsurePoweredUp(bool wait);
    virtual bool OkToStop(PIRP irp);
    virtual bool OkToRemove(PIRP irp);
    virtual NTSTATUS StartDevice(PCM_PARTIAL_RESOURCE_LIST raw, PCM_PARTIAL_RESOURCE_LIST translated);
    virtual void StopDevice(bool wasStarted);
    virtual bool OkToChangePower(LONG fromDeviceState, LONG toDeviceState);

    // Any IRQL up to DISPATCH_LEVEL.
    NTSTATUS AcquireRemoveLock();
    void ReleaseRemoveLock();

    // Passes the request down; this driver is done with it.
    NTSTATUS Forward(PIRP irp);
    // PASSIVE_LEVEL. Passes the request down and waits until the lower
    // drivers finish; the caller owns and completes it afterwards.
    NTSTATUS ForwardAndWait(PIRP irp);

    // PASSIVE_LEVEL.
    NTSTATUS RegisterInterface(const GUID &guid);
    void SetInterfacesState(bool enable);
    // The device-parameter key, or null; the caller closes it.
    HANDLE OpenDeviceKey();
    // Any IRQL up to DISPATCH_LEVEL: the next device-state query reports the
    // device as removed.
    void ReportDeviceRemoved();

    // Power requests for this device's own stack. With wait: PASSIVE_LEVEL.
    NTSTATUS RequestPowerIrp(LONG deviceState, bool wait);
    // Any IRQL up to DISPATCH_LEVEL.
    NTSTATUS SetWakeArming(LONG mode);
    void RegisterPowerContextCallbacks(PowerContextRoutine saveRoutine, PVOID saveContext,
                                       PowerContextRoutine restoreRoutine, PVOID restoreContext);
    // Called by a save or restore routine that returned STATUS_PENDING.
    void ResumeContextWalk();
    // Runs the save (or restore) routines for a walk owned by context;
    // STATUS_PENDING when one of them finishes later.
    NTSTATUS RunContextWalk(bool save, LONG from, LONG to, KPowerIrpContext *context);

    // PASSIVE_LEVEL. The device keeps the block until it is destroyed.
    // STATUS_SUCCESS once the provider holds it, also when the platform's
    // registration could not be updated (the next update covers it).
    NTSTATUS AddWmiBlock(const GUID &guid, KWmiBlock *block);
    // PASSIVE_LEVEL. Waits for the WMI requests already at the device; none
    // reaches it afterwards. Once only: a second call does nothing.
    void DeregisterWmi();

    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lowerDevice;
    RemoveLock removeLock;
    LONG pnpState;
    LONG previousPnpState;
    volatile LONG reportMask;
    LONG reportFlags;
    bool wmiRegistered;
    bool surpriseRemovalOk;
    bool started;
    LIST_ENTRY interfaces;
    LIST_ENTRY powerCallbacks;
    KSPIN_LOCK powerCallbackLock;
    KWmiProvider *wmiProvider;
    LONG currentDevicePowerState;
    LONG currentSystemPowerState;
    DEVICE_CAPABILITIES capabilities;
    volatile LONG waitWakePending;
    volatile LONG waitWakeRace;
    PIRP volatile waitWakeIrp;
    KPowerIrpContext *volatile contextOwner;
    PLIST_ENTRY contextCursor;
    LONG contextFrom;
    LONG contextTo;
    bool wakeEnabled;
    bool queuesStalledForPower;
    bool contextSaving;
    // The power stall is one a granted down query left for the power-down
    // that was to follow; a SET_POWER that keeps the device in D0 ends it.
    bool stallLeftByQuery = false;

private:
    // A removal query stalled the queues, so the cancel restarts them: a
    // query that found the device stopped must not unstall it.
    bool queryRemoveStalled = false;

    NTSTATUS ContinueContextWalkLocked(KIRQL irql);
    static NTSTATUS WaitWakePassThroughCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static VOID WaitWakeCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                   PIO_STATUS_BLOCK ioStatus);
};

// Sets the capability bits the lower drivers left out but their power-state
// mapping implies, and derives SystemWake when they gave none.
void FixUpCapabilities(PDEVICE_CAPABILITIES caps);
