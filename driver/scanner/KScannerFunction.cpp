// KScannerFunction: construction, descriptor reads, teardown.
#include "KScannerFunction.h"

#include "DriverGlobals.h"
#include "Pool.h"
#include "PortTable.h"

namespace {

constexpr USHORT kUsEnglish = 0x0409;
constexpr ULONG kStringBufferSize = 256;

void BuildDescriptorRequest(URB &urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length)
{
    RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), type,
                                 index, language, buffer, nullptr, length, nullptr);
}

}  // namespace

KScannerFunction::KScannerFunction(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice, UCHAR bulkIn,
                                   UCHAR bulkOut)
    : KUsbDevice(creation, physicalDevice), pairedPort(nullptr), bulkInEndpoint(bulkIn), bulkOutEndpoint(bulkOut),
      writeFailed(false), stopped(false)
{
    ExInterlockedInsertHeadList(&DriverGlobals.scannerList, &scannerListEntry, &DriverGlobals.scannerListLock);
}

KScannerFunction::~KScannerFunction()
{
    UnlinkScanner(this);
    modelName.Free();
    serialNumber.Free();
}

NTSTATUS KScannerFunction::CompleteInitialization()
{
    NTSTATUS status = KUsbDevice::CompleteInitialization();
    if (!NT_SUCCESS(status))
        return status;
    deviceObject->Flags |= DO_BUFFERED_IO;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Selecting the configuration and starting the bulk pipes
// belong to the transfer engine; until it runs, a started scanner is one
// whose sends are allowed again.
NTSTATUS KScannerFunction::StartDevice(PCM_PARTIAL_RESOURCE_LIST, PCM_PARTIAL_RESOURCE_LIST)
{
    writeFailed = false;
    stopped = false;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
void KScannerFunction::StopDevice(bool)
{
    SetWakeArming(WakeCancel);
    stopped = true;
}

PUSB_DEVICE_DESCRIPTOR KScannerFunction::readDeviceDescriptor()
{
    // The bus driver fills the buffer, possibly at DISPATCH_LEVEL: non-paged.
    auto descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocatePool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (!descriptor)
        return nullptr;
    NTSTATUS status = STATUS_DEVICE_POWERED_OFF;
    if (InD0()) {
        URB urb;
        BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
        status = submitUrb(&urb, 0);
        // A short answer is no descriptor.
        if (NT_SUCCESS(status) && urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_DEVICE_DESCRIPTOR))
            status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        FreePool(descriptor);
        return nullptr;
    }
    return descriptor;
}

NTSTATUS KScannerFunction::readStringDescriptor(UCHAR index, KUnicodeString &destination)
{
    if (!InD0())
        return STATUS_DEVICE_POWERED_OFF;
    auto buffer = static_cast<PUCHAR>(AllocatePool(kStringBufferSize));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    URB urb;
    BuildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, index, kUsEnglish, buffer, kStringBufferSize);
    NTSTATUS status = submitUrb(&urb, 0);
    if (NT_SUCCESS(status)) {
        ULONG received = urb.UrbControlDescriptorRequest.TransferBufferLength;
        ULONG n = received >= 1 ? buffer[0] : 0;
        if (n > received)
            n = received;
        ULONG units = n >= 2 ? n / 2 - 1 : 0;
        status = CallInFrame([&] {
            destination.Assign(reinterpret_cast<PCWCH>(buffer + 2), units);
            return STATUS_SUCCESS;
        });
    }
    FreePool(buffer);
    return status;
}
