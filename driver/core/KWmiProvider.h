// The WMI data blocks of one device, answered through the WMI library.
#pragma once

#include "Portability.h"

class KPnpDevice;

// One instance of one WMI class; owned by the object that registers it.
class KWmiBlock {
public:
    explicit KWmiBlock(PVOID blockOwner) : owner(blockOwner), dataSize(0) {}
    virtual ~KWmiBlock() = default;
    virtual NTSTATUS EnableEvents(bool enable);
    virtual NTSTATUS EnableCollection(bool enable);
    virtual NTSTATUS QueryData(PVOID buffer) = 0;
    virtual NTSTATUS SetData(PVOID buffer);
    virtual ULONG GetDataSize() = 0;
    virtual ULONG SetDataSize(ULONG size);

    PVOID owner;
    LONG dataSize;
};

class KWmiProvider {
public:
    // Null when the allocation fails.
    static KWmiProvider *Create(KPnpDevice *device);
    // Frees the provider's arrays and the provider; the blocks stay.
    static void Destroy(KWmiProvider *provider);
};
