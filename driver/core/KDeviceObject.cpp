// KDeviceObject: creation, construction, the default handlers and deletion.
#include "KDeviceObject.h"

#include "Completion.h"
#include "DriverGlobals.h"
#include "Pool.h"

namespace {

// {27BBD33D-4846-4574-A7EA-FC8C9BF9130A}
const GUID kControlDeviceClassGuid = {0x27BBD33D, 0x4846, 0x4574, {0xA7, 0xEA, 0xFC, 0x8C, 0x9B, 0xF9, 0x13, 0x0A}};

void *FinishCreation(NTSTATUS status, PDRIVER_OBJECT driver, PDEVICE_OBJECT device, KUnicodeString &name,
                     KDeviceCreation &creation)
{
    if (!NT_SUCCESS(status))
        ExRaiseStatus(status);
    creation.driverObject = driver;
    creation.deviceObject = device;
    creation.creationName = &name;
    return device->DeviceExtension;
}

}  // namespace

void *CreateDeviceObject(SIZE_T objectSize, PDRIVER_OBJECT driver, KUnicodeString &name, KDeviceCreation &creation)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, static_cast<ULONG>(objectSize), name.IsEmpty() ? nullptr : &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    return FinishCreation(status, driver, device, name, creation);
}

void *CreateDeviceObjectSecure(SIZE_T objectSize, PDRIVER_OBJECT driver, KUnicodeString &name,
                               KDeviceCreation &creation)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDeviceSecure(driver, static_cast<ULONG>(objectSize), name.IsEmpty() ? nullptr : &name,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &DriverGlobals.controlDeviceSddl,
                                           &kControlDeviceClassGuid, &device);
    return FinishCreation(status, driver, device, name, creation);
}

KDeviceObject::KDeviceObject(const KDeviceCreation &creation)
    : signature(kSignatureDeviceObject),
      driverObject(creation.driverObject),
      deviceObject(creation.deviceObject),
      queues(nullptr),
      queueCount(0),
      pendingStartMask(0),
      creationName(nullptr)
{
    KeInitializeDpc(&startNextDpc, StartNextDpcRoutine, this);
    // Taken over, not copied: construction allocates nothing, so it cannot
    // raise and leave a device object with a half-built object in it.
    if (creation.creationName)
        deviceName.Adopt(*creation.creationName);
}

// PASSIVE_LEVEL.
KDeviceObject::~KDeviceObject()
{
    // The start-next DPC uses the queues: one still queued is taken back, and
    // one that another processor is running (it may be the very DPC whose
    // signal let the removal go on) ends before they go.
    KeRemoveQueueDpc(&startNextDpc);
    KeFlushQueuedDpcs();
    for (ULONG i = 0; i < queueCount; ++i)
        if (KIrpQueue *q = queues[i]) {
            q->~KIrpQueue();
            FreePool(q);
        }
    FreePool(queues);
    queues = nullptr;
    queueCount = 0;
}

void KDeviceObject::operator delete(KDeviceObject *object, std::destroying_delete_t)
{
    PDEVICE_OBJECT device = object->deviceObject;
    object->~KDeviceObject();
    IoDeleteDevice(device);
}

void KDeviceObject::CancelOutstandingIo() {}

NTSTATUS KDeviceObject::DispatchUnsupported(PIRP irp) { return CompleteRequest(irp, STATUS_NOT_SUPPORTED); }

#define DEFAULT_DISPATCH(name) \
    NTSTATUS KDeviceObject::name(PIRP irp) { return DispatchUnsupported(irp); }
DEFAULT_DISPATCH(DispatchCreate)
DEFAULT_DISPATCH(DispatchCreateNamedPipe)
DEFAULT_DISPATCH(DispatchClose)
DEFAULT_DISPATCH(DispatchRead)
DEFAULT_DISPATCH(DispatchWrite)
DEFAULT_DISPATCH(DispatchQueryInformation)
DEFAULT_DISPATCH(DispatchSetInformation)
DEFAULT_DISPATCH(DispatchQueryEa)
DEFAULT_DISPATCH(DispatchSetEa)
DEFAULT_DISPATCH(DispatchFlushBuffers)
DEFAULT_DISPATCH(DispatchQueryVolumeInformation)
DEFAULT_DISPATCH(DispatchSetVolumeInformation)
DEFAULT_DISPATCH(DispatchDirectoryControl)
DEFAULT_DISPATCH(DispatchFileSystemControl)
DEFAULT_DISPATCH(DispatchDeviceControl)
DEFAULT_DISPATCH(DispatchInternalDeviceControl)
DEFAULT_DISPATCH(DispatchShutdown)
DEFAULT_DISPATCH(DispatchLockControl)
DEFAULT_DISPATCH(DispatchCleanup)
DEFAULT_DISPATCH(DispatchCreateMailslot)
DEFAULT_DISPATCH(DispatchQuerySecurity)
DEFAULT_DISPATCH(DispatchSetSecurity)
DEFAULT_DISPATCH(DispatchPower)
DEFAULT_DISPATCH(DispatchSystemControl)
DEFAULT_DISPATCH(DispatchDeviceChange)
DEFAULT_DISPATCH(DispatchQueryQuota)
DEFAULT_DISPATCH(DispatchSetQuota)
DEFAULT_DISPATCH(DispatchPnp)
#undef DEFAULT_DISPATCH

NTSTATUS KDeviceObject::CompleteInitialization()
{
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_POWER_PAGABLE;
    return STATUS_SUCCESS;
}

// Any IRQL at which requests arrive. No lock, no counting: each class does
// that in its handlers.
NTSTATUS DriverDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *object = static_cast<KDeviceObject *>(device->DeviceExtension);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return (object->*DriverGlobals.dispatchTable[major])(irp);
}
