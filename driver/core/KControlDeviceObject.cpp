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

// PASSIVE_LEVEL. Device creation failure is raised to the caller's frame,
// after the name is freed: the raise runs no destructor of this routine.
void CreateControlDevice()
{
    KUnicodeString name;
    NTSTATUS status = CallInFrame([&] {
        name.AssignAnsi(DriverGlobals.controlDeviceName.Buffer, DriverGlobals.controlDeviceName.Length);
        KDeviceCreation creation{};
        void *storage =
            CreateDeviceObjectSecure(sizeof(KControlDeviceObject), DriverGlobals.driverObject, name, creation);
        DriverGlobals.controlDevice = new (storage) KControlDeviceObject(creation);
        return STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(status)) {
        name.Free();
        ExRaiseStatus(status);
    }
    // The link is best effort: a link that cannot be made fails nothing.
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\VEXLINKCDO");
    DriverGlobals.controlDevice->controlLink.Create(linkName, DriverGlobals.controlDevice->deviceName);
    DriverGlobals.controlDevice->openCount = 0;
}
