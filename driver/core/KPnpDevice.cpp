// KPnpDevice: construction, attachment, remove lock, interfaces, teardown.
#include "KPnpDevice.h"

#include "KWmiProvider.h"
#include "Pool.h"

KPnpDevice::KPnpDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice)
    : KDeviceObject(creation),
      pdo(physicalDevice),
      lowerDevice(nullptr),
      pnpState(Stopped),
      previousPnpState(Stopped),
      reportMask(0),
      reportFlags(0),
      wmiRegistered(false),
      surpriseRemovalOk(true),
      started(false),
      powerCallbackLock(0),
      wmiProvider(nullptr),
      currentDevicePowerState(PowerDeviceD0),
      currentSystemPowerState(PowerSystemWorking),
      capabilities{},
      waitWakePending(0),
      waitWakeRace(0),
      waitWakeIrp(nullptr),
      contextOwner(nullptr),
      contextCursor(nullptr),
      contextFrom(PowerDeviceD0),
      contextTo(PowerDeviceD0),
      wakeEnabled(false),
      queuesStalledForPower(false),
      contextSaving(false)
{
    removeLock.count = 1;
    removeLock.removing = false;
    KeInitializeEvent(&removeLock.event, NotificationEvent, FALSE);
    InitializeListHead(&interfaces);
    InitializeListHead(&powerCallbacks);
    KeInitializeSpinLock(&powerCallbackLock);
    signature = kSignaturePnpDevice;
}

KPnpDevice::~KPnpDevice()
{
    // Once removal began, every holder of the remove lock must be gone.
    ASSERT(!removeLock.removing || removeLock.count == 0);
    DeregisterWmi();
    KWmiProvider::Destroy(wmiProvider);
    wmiProvider = nullptr;
    if (lowerDevice) {
        IoDetachDevice(lowerDevice);
        lowerDevice = nullptr;
    }
    while (!IsListEmpty(&powerCallbacks))
        FreePool(RemoveHeadList(&powerCallbacks));
    while (!IsListEmpty(&interfaces)) {
        auto record = CONTAINING_RECORD(RemoveHeadList(&interfaces), DeviceInterface, link);
        if (record->enabled)
            IoSetDeviceInterfaceState(&record->symbolicLinkName, FALSE);
        RtlFreeUnicodeString(&record->symbolicLinkName);
        FreePool(record);
    }
}

NTSTATUS KPnpDevice::CompleteInitialization()
{
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    lowerDevice = IoAttachDeviceToDeviceStack(deviceObject, pdo);
    if (!lowerDevice)
        ExRaiseStatus(STATUS_DEVICE_REMOVED);
    if (!wmiProvider)
        wmiProvider = KWmiProvider::Create(this);
    if (!wmiProvider)
        return STATUS_SUCCESS;
    if (NT_SUCCESS(IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_REGISTER)))
        wmiRegistered = true;
    return STATUS_SUCCESS;
}

void KPnpDevice::DeregisterWmi()
{
    if (!wmiRegistered)
        return;
    IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_DEREGISTER);
    wmiRegistered = false;
}

NTSTATUS KPnpDevice::AcquireRemoveLock()
{
    InterlockedIncrement(&removeLock.count);
    if (removeLock.removing) {
        ReleaseRemoveLock();
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

void KPnpDevice::ReleaseRemoveLock()
{
    LONG count = InterlockedDecrement(&removeLock.count);
    ASSERT(count >= 0);  // released more often than acquired
    if (count == 0)
        KeSetEvent(&removeLock.event, 1, FALSE);
}

NTSTATUS KPnpDevice::RegisterInterface(const GUID &guid)
{
    auto record = static_cast<DeviceInterface *>(AllocatePoolOfType(sizeof(DeviceInterface), PagedPool));
    if (!record)
        return STATUS_INSUFFICIENT_RESOURCES;
    record->guid = guid;
    record->pdo = pdo;
    record->enabled = false;
    record->symbolicLinkName = UNICODE_STRING{0, 0, nullptr};
    NTSTATUS status = IoRegisterDeviceInterface(pdo, &guid, nullptr, &record->symbolicLinkName);
    if (!NT_SUCCESS(status)) {
        if (record->symbolicLinkName.Buffer)
            RtlFreeUnicodeString(&record->symbolicLinkName);
        FreePool(record);
        return status;
    }
    InsertTailList(&interfaces, &record->link);
    return STATUS_SUCCESS;
}

void KPnpDevice::SetInterfacesState(bool enable)
{
    for (PLIST_ENTRY e = interfaces.Flink; e != &interfaces; e = e->Flink) {
        auto record = CONTAINING_RECORD(e, DeviceInterface, link);
        if (record->enabled != enable) {
            IoSetDeviceInterfaceState(&record->symbolicLinkName, enable);
            record->enabled = enable;
        }
    }
}

HANDLE KPnpDevice::OpenDeviceKey()
{
    HANDLE key = nullptr;
    return NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)) ? key : nullptr;
}

// Any IRQL up to DISPATCH_LEVEL.
void KPnpDevice::ReportDeviceRemoved()
{
    LONG before = reportFlags;
    reportFlags |= PNP_DEVICE_REMOVED;
    // Added to, not overwritten: a second report before the query must not
    // take back the first one's bit.
    InterlockedOr(&reportMask, (before ^ reportFlags) & PNP_DEVICE_REMOVED);
    IoInvalidateDeviceState(pdo);
}
