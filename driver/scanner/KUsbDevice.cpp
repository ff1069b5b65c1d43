// KUsbDevice: construction, bus-interface query, URB submission, teardown.
#include "KUsbDevice.h"

#include "DriverGlobals.h"
#include "KSyncRequest.h"
#include "Pool.h"

namespace {

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
const GUID kUsbBusInterfaceUsbdiGuid = {0xB1A96A13, 0x3DE0, 0x4574, {0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6}};

}  // namespace

KUsbDevice::KUsbDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice)
    : KPnpDevice(creation, physicalDevice), configurationDescriptor(nullptr), configurationHandle(nullptr),
      usbdInterface{}
{
    signature = kSignatureUsbDevice;
}

KUsbDevice::~KUsbDevice()
{
    FreePool(configurationDescriptor);
    configurationDescriptor = nullptr;
    if (usbdInterface.header.InterfaceDereference)
        usbdInterface.header.InterfaceDereference(usbdInterface.header.Context);
}

NTSTATUS KUsbDevice::CompleteInitialization()
{
    NTSTATUS status = KPnpDevice::CompleteInitialization();
    if (!NT_SUCCESS(status))
        return status;
    if (DriverGlobals.wdmOrdinal > 5) {
        KSyncRequest request;
        if (request.BuildPnp(lowerDevice, IRP_MN_QUERY_INTERFACE)) {
            PIO_STACK_LOCATION next = request.NextStackLocation();
            next->Parameters.QueryInterface.InterfaceType = &kUsbBusInterfaceUsbdiGuid;
            next->Parameters.QueryInterface.Size = sizeof(UsbdInterfaceV2);
            next->Parameters.QueryInterface.Version = 2;
            next->Parameters.QueryInterface.Interface = &usbdInterface.header;
            next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
            // Older bus drivers do not know the interface; nothing depends on it.
            request.Send();
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS KUsbDevice::submitUrb(PURB urb, ULONG timeoutMs)
{
    // The remove lock is taken before the request is built: a request built
    // for the current thread must be sent, it cannot simply be freed.
    NTSTATUS status = AcquireRemoveLock();
    if (!NT_SUCCESS(status))
        return status;
    KSyncRequest request;
    if (!request.BuildInternalIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, lowerDevice)) {
        ReleaseRemoveLock();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request.NextStackLocation()->Parameters.Others.Argument1 = urb;
    status = timeoutMs ? request.SendWithTimeout(timeoutMs) : request.Send();
    ReleaseRemoveLock();
    return status;
}
