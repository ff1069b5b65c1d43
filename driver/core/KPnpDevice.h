// Base of every device object that Plug and Play manages: attachment to the
// device stack, the remove lock, device interfaces and WMI registration.
#pragma once

#include "KDeviceObject.h"

class KWmiProvider;

enum PnpState : LONG {
    Stopped = 0,
    Working = 1,
    PendingStop = 2,
    PendingRemove = 3,
    SurpriseRemoved = 4,
    Removed = 5,
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

class KPnpDevice : public KDeviceObject {
public:
    KPnpDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KPnpDevice() override;

    // PASSIVE_LEVEL. Attaches to the PDO's stack (failure raises
    // STATUS_DEVICE_REMOVED) and registers with WMI.
    NTSTATUS CompleteInitialization() override;

    // Any IRQL up to DISPATCH_LEVEL.
    NTSTATUS AcquireRemoveLock();
    void ReleaseRemoveLock();

    // PASSIVE_LEVEL.
    NTSTATUS RegisterInterface(const GUID &guid);
    void SetInterfacesState(bool enable);
    // The device-parameter key, or null; the caller closes it.
    HANDLE OpenDeviceKey();

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
};
