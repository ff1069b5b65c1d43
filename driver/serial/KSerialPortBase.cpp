// KSerialPortBase: construction, initialisation with external naming, teardown.
#include "KSerialPortBase.h"

#include "ErrorLog.h"
#include "RegistryHelpers.h"

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
const GUID kComPortInterfaceGuid = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

PCWSTR const kSerialComm = L"SERIALCOMM";

}  // namespace

KSerialPortBase::KSerialPortBase(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice)
    : KPnpDevice(creation, physicalDevice),
      openCount(0),
      powerDownOnClose(1),
      serialCommWritten(false),
      portNameBlock(this),
      hardwareConfigurationBlock(this)
{
    openLock.Initialize();
    powerLock.Initialize();
}

// PASSIVE_LEVEL.
NTSTATUS KSerialPortBase::DoExternalNaming()
{
    HANDLE key = OpenDeviceKey();
    if (!key)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG skip = 0;
    if (NT_SUCCESS(ReadRegistryDword(key, L"SerialSkipExternalNaming", &skip)) && skip != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }
    result = ReadRegistryString(key, L"PortName", portName);
    if (!NT_SUCCESS(result)) {
        LogError(deviceObject);
        ZwClose(key);
        return result;
    }
    // The link name is this routine's: it lives outside the frame and goes
    // when the routine returns, whether its building raised or not.
    KUnicodeString linkName;
    UNICODE_STRING dosDevices;
    RtlInitUnicodeString(&dosDevices, L"\\DosDevices\\");
    result = CallInFrame([&] {
        linkName.AssignJoined(dosDevices, portName);
        return STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(result)) {
        DbgPrint("DoExternalNaming - create symbolic link exception\n");
    } else {
        result = link.Create(linkName, deviceName);
        if (!NT_SUCCESS(result)) {
            DbgPrint("DoExternalNaming - create symbolic link failed\n");
            LogErrorWithText(deviceObject, linkName.Buffer);
        }
    }
    if (NT_SUCCESS(result)) {
        result = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, deviceName.Buffer, REG_SZ,
                                       portName.Buffer, portName.Length + sizeof(WCHAR));
        if (NT_SUCCESS(result)) {
            serialCommWritten = true;
            result = RegisterInterface(kComPortInterfaceGuid);
        }
    }
    ZwClose(key);
    if (!NT_SUCCESS(result) && serialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, deviceName.Buffer);
        serialCommWritten = false;
    }
    return result;
}

// PASSIVE_LEVEL, once, from the add-device routine. The request queues, the
// event engine's action records and the power callbacks join these steps
// with the serial request paths.
NTSTATUS KSerialPortBase::CompleteInitialization()
{
    // String storage running out raises to the creator, which deletes the
    // port.
    scannerSerial.Assign(L"", 0);
    // Before the device registers with WMI, so the registration covers both.
    // A port that cannot publish them fails its initialisation.
    NTSTATUS status = AddWmiBlock(kMSSerialPortNameGuid, &portNameBlock);
    if (NT_SUCCESS(status))
        status = AddWmiBlock(kMSSerialHardwareConfigurationGuid, &hardwareConfigurationBlock);
    if (NT_SUCCESS(status))
        status = DoExternalNaming();
    if (!NT_SUCCESS(status))
        return status;
    deviceObject->Flags |= DO_BUFFERED_IO;
    return KPnpDevice::CompleteInitialization();
}

KSerialPortBase::~KSerialPortBase()
{
    // The WMI blocks are members and go before the base class would
    // deregister: no WMI request may reach them from here on.
    DeregisterWmi();
    KRecursiveLockGuard guard(openLock);
    if (serialCommWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, deviceName.Buffer);
        serialCommWritten = false;
    }
    portName.Free();
    scannerSerial.Free();
}
