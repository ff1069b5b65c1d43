// The concrete virtual COM port: its "hardware" is the paired scanner.
#pragma once

#include "KSerialPortBase.h"

class KScannerFunction;

class KVirtualSerialPort : public KSerialPortBase {
public:
    KVirtualSerialPort(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KVirtualSerialPort() override;

    NTSTATUS CompleteInitialization() override;
    // A paired port refuses a removal query.
    bool OkToRemove(PIRP irp) override;
    NTSTATUS StartDevice(PCM_PARTIAL_RESOURCE_LIST raw, PCM_PARTIAL_RESOURCE_LIST translated) override;
    void StopDevice(bool wasStarted) override;

    KScannerFunction *pairedScanner;
    KSPIN_LOCK portSpinLock;
};
