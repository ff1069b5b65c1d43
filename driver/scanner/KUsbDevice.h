// Base of USB function devices: synchronous URB submission and the bus
// interface.
#pragma once

#include "KPnpDevice.h"

// The USBDI bus interface, version 2, as the bus driver hands it out: the
// interface header and six routines, 80 bytes.
struct UsbdInterfaceV2 {
    INTERFACE header;
    PVOID routines[6];
};
static_assert(sizeof(UsbdInterfaceV2) == 80, "the bus driver fills 80 bytes");

class KUsbDevice : public KPnpDevice {
public:
    KUsbDevice(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KUsbDevice() override;

    // PASSIVE_LEVEL: attach, then query the bus interface on newer platforms.
    NTSTATUS CompleteInitialization() override;

    // PASSIVE_LEVEL. Sends the URB to the lower device and waits for it,
    // under the remove lock; timeoutMs 0 waits without limit.
    NTSTATUS submitUrb(PURB urb, ULONG timeoutMs);
    bool InD0() const { return currentDevicePowerState == PowerDeviceD0; }

    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor;
    USBD_CONFIGURATION_HANDLE configurationHandle;
    UsbdInterfaceV2 usbdInterface;
};
