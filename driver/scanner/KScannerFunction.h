// One scanner USB function: its identity and its place in the port table.
#pragma once

#include "KUsbDevice.h"

class KVirtualSerialPort;

class KScannerFunction : public KUsbDevice {
public:
    KScannerFunction(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice, UCHAR bulkIn, UCHAR bulkOut);
    ~KScannerFunction() override;

    NTSTATUS CompleteInitialization() override;
    NTSTATUS StartDevice(PCM_PARTIAL_RESOURCE_LIST raw, PCM_PARTIAL_RESOURCE_LIST translated) override;
    void StopDevice(bool wasStarted) override;

    // PASSIVE_LEVEL. A pool copy of the 18-byte device descriptor, or null.
    PUSB_DEVICE_DESCRIPTOR readDeviceDescriptor();
    // PASSIVE_LEVEL. The string descriptor `index` in US English.
    NTSTATUS readStringDescriptor(UCHAR index, KUnicodeString &destination);

    LIST_ENTRY scannerListEntry;
    KVirtualSerialPort *pairedPort;
    UCHAR bulkInEndpoint;
    UCHAR bulkOutEndpoint;
    bool writeFailed;
    bool stopped;
    KUnicodeString serialNumber;
    KUnicodeString modelName;
};
