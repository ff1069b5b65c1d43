// The concrete virtual COM port: its "hardware" is the paired scanner.
#pragma once

#include "KSerialPortBase.h"

class KScannerFunction;

class KVirtualSerialPort : public KSerialPortBase {
public:
    KVirtualSerialPort(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KVirtualSerialPort() override;

    NTSTATUS CompleteInitialization() override;

    KScannerFunction *pairedScanner;
    KSPIN_LOCK portSpinLock;
};
