// KVirtualSerialPort: construction, the private interface, teardown.
#include "KVirtualSerialPort.h"

#include "DriverGlobals.h"
#include "PortTable.h"

namespace {

// {9833AEC0-3872-4CBE-8176-02E7609FC243}
const GUID kVirtualPortInterfaceGuid = {0x9833AEC0, 0x3872, 0x4CBE, {0x81, 0x76, 0x02, 0xE7, 0x60, 0x9F, 0xC2, 0x43}};

}  // namespace

KVirtualSerialPort::KVirtualSerialPort(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice)
    : KSerialPortBase(creation, physicalDevice), pairedScanner(nullptr), portSpinLock(0)
{
    KeInitializeSpinLock(&portSpinLock);
    InterlockedIncrement(&DriverGlobals.livePortCount);
}

// PASSIVE_LEVEL.
NTSTATUS KVirtualSerialPort::CompleteInitialization()
{
    NTSTATUS status = KSerialPortBase::CompleteInitialization();
    if (!NT_SUCCESS(status))
        return status;
    RegisterInterface(kVirtualPortInterfaceGuid);
    return STATUS_SUCCESS;
}

bool KVirtualSerialPort::OkToRemove(PIRP) { return pairedScanner == nullptr; }

// The port has no hardware of its own to start or stop.
NTSTATUS KVirtualSerialPort::StartDevice(PCM_PARTIAL_RESOURCE_LIST, PCM_PARTIAL_RESOURCE_LIST) { return STATUS_SUCCESS; }
void KVirtualSerialPort::StopDevice(bool) {}

KVirtualSerialPort::~KVirtualSerialPort() { ReleasePortSlot(this); }
