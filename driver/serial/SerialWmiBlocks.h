// The MSSerial WMI data blocks a port publishes: its port name and its
// hardware configuration.
#pragma once

#include "KWmiProvider.h"

class KSerialPortBase;

// {A0EC11A8-B16C-11D1-BD98-00A0C906BE2D}
extern const GUID kMSSerialPortNameGuid;
// {270B9B86-B16D-11D1-BD98-00A0C906BE2D}
extern const GUID kMSSerialHardwareConfigurationGuid;

// MSSerial_PortName: the port's COM name as a counted string (a 16-bit byte
// count that includes the terminating NUL, the name, the NUL). The name is
// read when the block is queried, since the port learns it after
// construction; QueryData and GetDataSize run at PASSIVE_LEVEL without a port
// lock, as the name only changes during initialisation.
class KPortNameWmiBlock : public KWmiBlock {
public:
    explicit KPortNameWmiBlock(KSerialPortBase *port) : KWmiBlock(port) {}
    NTSTATUS QueryData(PVOID buffer) override;
    ULONG GetDataSize() override;
};

// MSSerial_HardwareConfiguration: a virtual port has no IRQ, ports or
// memory, so all 40 bytes are zero.
class KHardwareConfigurationWmiBlock : public KWmiBlock {
public:
    static constexpr ULONG kSize = 40;
    explicit KHardwareConfigurationWmiBlock(KSerialPortBase *port) : KWmiBlock(port) {}
    NTSTATUS QueryData(PVOID buffer) override;
    ULONG GetDataSize() override { return kSize; }
};
