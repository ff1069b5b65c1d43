// An abstract serial port that behaves like a 16550-style UART driver towards
// applications: its naming, open bookkeeping and registry presence.
#pragma once

#include "KPnpDevice.h"
#include "KRecursiveLock.h"
#include "SerialWmiBlocks.h"

class KSerialPortBase : public KPnpDevice {
public:
    KSerialPortBase(const KDeviceCreation &creation, PDEVICE_OBJECT physicalDevice);
    ~KSerialPortBase() override;

    // PASSIVE_LEVEL, once, from the add-device routine.
    NTSTATUS CompleteInitialization() override;
    // COM name, DOS-device link, SERIALCOMM value and COM-port interface.
    NTSTATUS DoExternalNaming();

    volatile LONG openCount;
    KUnicodeString portName;
    KUnicodeString scannerSerial;
    KRecursiveLock openLock;
    KRecursiveLock powerLock;
    UCHAR powerDownOnClose;
    bool serialCommWritten;
    // Registered with the device's WMI provider by CompleteInitialization.
    KPortNameWmiBlock portNameBlock;
    KHardwareConfigurationWmiBlock hardwareConfigurationBlock;
};
