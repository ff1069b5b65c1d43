// DriverEntry, DriverUnload and the platform ordinal.
#include "DriverGlobals.h"
#include "KControlDeviceObject.h"
#include "PortTable.h"

namespace {

struct WdmVersion {
    UCHAR major;
    UCHAR minor;
    LONG ordinal;
};

// Tested in this order; the first version available wins.
const WdmVersion kWdmVersions[] = {
    {6, 0x00, 7},
    {1, 0x30, 6},
    {1, 0x20, 5},
    {1, 0x10, 4},
    {1, 0x05, 2},
};

LONG ComputeWdmOrdinal(PDRIVER_OBJECT driver)
{
    for (const auto &version : kWdmVersions)
        if (IoIsWdmVersionAvailable(version.major, version.minor))
            return version.ordinal;
    if (!driver || driver->DriverExtension->ServiceKeyName.Length != 0)
        return 1;
    return 0;
}

}  // namespace

LONG WdmOrdinalFor(PDRIVER_OBJECT driver) { return ComputeWdmOrdinal(driver); }

VOID DriverUnload(PDRIVER_OBJECT driver);

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    // A freshly loaded image starts with its statics zeroed; the record is
    // set to that state in case the same image is loaded again.
    new (&DriverGlobals) DriverGlobalsRecord{};
    // A failed entry unloads, which runs the exit callbacks: their list must
    // exist from the start.
    InitializeListHead(&DriverGlobals.exitCallbacks);
    KeInitializeSpinLock(&DriverGlobals.exitCallbackLock);
    NTSTATUS status = STATUS_SUCCESS;
    KERNEL_TRY {
        InterlockedExchange(&DriverGlobals.livePortCount, 0);
        DriverGlobals.driverObject = driver;
        driver->DriverUnload = DriverUnload;
        driver->DriverExtension->AddDevice = AddDevice;
        for (ULONG m = 0; m < kMajorFunctionCount; ++m)
            driver->MajorFunction[m] = DriverDispatch;
        DriverGlobals.wdmOrdinal = ComputeWdmOrdinal(driver);
        DriverGlobals.legacyPlatform = DriverGlobals.wdmOrdinal <= 2;
        InitializeDriverLibrary();
        KERNEL_TRY {
            DriverGlobals.registryPath.Assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
        } KERNEL_EXCEPT {
            DriverGlobals.registryPath.Free();
        }
        if (!DriverGlobals.controlDevice)
            CreateControlDevice();
    } KERNEL_EXCEPT {
        DbgPrint("vexlink.sys DriverEntry() Exception occurred in DriverEntry");
        status = KernelExceptionCode();
    }
    if (!NT_SUCCESS(status))
        DriverUnload(driver);
    return status;
}

// PASSIVE_LEVEL, after every other entry point of the driver.
VOID DriverUnload(PDRIVER_OBJECT driver)
{
    while (driver->DeviceObject)
        delete static_cast<KDeviceObject *>(driver->DeviceObject->DeviceExtension);
    RunExitCallbacks();
}
