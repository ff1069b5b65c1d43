// The port's MSSerial_PortName and MSSerial_HardwareConfiguration blocks.
#include "SerialWmiBlocks.h"

#include "KSerialPortBase.h"

const GUID kMSSerialPortNameGuid = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kMSSerialHardwareConfigurationGuid = {0x270B9B86, 0xB16D, 0x11D1,
                                                 {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};

ULONG KPortNameWmiBlock::GetDataSize()
{
    return static_cast<KSerialPortBase *>(owner)->portName.Length + sizeof(USHORT) + sizeof(WCHAR);
}

NTSTATUS KPortNameWmiBlock::QueryData(PVOID buffer)
{
    const KUnicodeString &name = static_cast<KSerialPortBase *>(owner)->portName;
    auto *out = static_cast<PUCHAR>(buffer);
    USHORT count = static_cast<USHORT>(name.Length + sizeof(WCHAR));
    WCHAR terminator = 0;
    RtlCopyMemory(out, &count, sizeof count);
    if (name.Length)
        RtlCopyMemory(out + sizeof count, name.Buffer, name.Length);
    RtlCopyMemory(out + sizeof count + name.Length, &terminator, sizeof terminator);
    return STATUS_SUCCESS;
}

NTSTATUS KHardwareConfigurationWmiBlock::QueryData(PVOID buffer)
{
    RtlZeroMemory(buffer, kSize);
    return STATUS_SUCCESS;
}
