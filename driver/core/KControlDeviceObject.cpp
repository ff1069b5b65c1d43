// Creation of the control device and its symbolic link.
#include "KControlDeviceObject.h"

#include "DriverGlobals.h"
#include "Pool.h"

KControlDeviceObject::KControlDeviceObject(const KDeviceCreation &creation) : KDeviceObject(creation), openCount(0) {}

KControlDeviceObject::~KControlDeviceObject()
{
    // Whoever destroys the control device (the last port going away, or the
    // unload loop) leaves no stale pointer behind.
    if (DriverGlobals.controlDevice == this)
        DriverGlobals.controlDevice = nullptr;
}

// PASSIVE_LEVEL. Device creation failure is raised to the caller's frame.
void CreateControlDevice()
{
    KUnicodeString name(DriverGlobals.controlDeviceName);
    KDeviceCreation creation{};
    void *storage = CreateDeviceObjectSecure(sizeof(KControlDeviceObject), DriverGlobals.driverObject, name, creation);
    DriverGlobals.controlDevice = storage ? new (storage) KControlDeviceObject(creation) : nullptr;
    name.Free();
    if (!DriverGlobals.controlDevice)
        return;
    KUnicodeString deviceName(L"\\Device\\VEXLINKCDO");
    KUnicodeString linkName(L"\\DosDevices\\VEXLINKCDO");
    DriverGlobals.controlDevice->controlLink.Create(linkName, deviceName);
    DriverGlobals.controlDevice->openCount = 0;
}
