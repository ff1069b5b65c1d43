// The WMI data blocks of one device, answered through the WMI library.
#pragma once

#include "Portability.h"

#include <wmistr.h>
#include <wmilib.h>

#include "KArray.h"

class KPnpDevice;

// One instance of one WMI class; owned by the object that registers it.
class KWmiBlock {
public:
    explicit KWmiBlock(PVOID blockOwner) : owner(blockOwner), dataSize(0) {}
    virtual ~KWmiBlock() = default;
    virtual NTSTATUS EnableEvents(bool enable);
    virtual NTSTATUS EnableCollection(bool enable);
    // Fills GetDataSize() bytes at buffer, which is 8-byte aligned.
    virtual NTSTATUS QueryData(PVOID buffer) = 0;
    virtual NTSTATUS SetData(PVOID buffer);
    virtual ULONG GetDataSize() = 0;
    // The size the block takes for a set of `size` bytes; a set goes ahead
    // only when it is `size`.
    virtual ULONG SetDataSize(ULONG size);

    PVOID owner;
    LONG dataSize;
};

// The instances of one GUID, in the order they were added.
struct WmiBlockEntry {
    GUID guid;
    KArray<KWmiBlock *> instances;
};

// Non-paged. guidList and blocks run in step: GuidIndex i of the WMI library
// is blocks[i], and wmilibContext.GuidList is guidList.items.
class KWmiProvider {
public:
    // Null when the allocation fails.
    static KWmiProvider *Create(KPnpDevice *device);
    // Frees the provider's arrays and the provider; the blocks stay.
    static void Destroy(KWmiProvider *provider);

    // PASSIVE_LEVEL; takes the lock. One more instance of guid, whose
    // constant must outlive the provider. STATUS_INSUFFICIENT_RESOURCES when
    // the arrays cannot grow, with the provider as it was.
    NTSTATUS AddBlock(const GUID &guid, KWmiBlock *block);

    KPnpDevice *device;
    KArray<WMIGUIDREGINFO> guidList;
    KArray<WmiBlockEntry> blocks;
    WMILIB_CONTEXT wmilibContext;
    // Synchronization event, signalled while free: serialises the WMI
    // library's calls and block additions.
    KEVENT lock;

private:
    void Lock();
    void Unlock();
    // The block at guidIndex and instanceIndex, or null with the status to
    // report.
    KWmiBlock *FindInstance(ULONG guidIndex, ULONG instanceIndex, NTSTATUS *status);

    // WMI library handlers; PASSIVE_LEVEL, lock held by DispatchSystemControl.
    // All but QueryRegInfo complete the request.
    static NTSTATUS QueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING instanceName,
                                 PUNICODE_STRING *registryPath, PUNICODE_STRING mofResourceName,
                                 PDEVICE_OBJECT *pdo);
    static NTSTATUS QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                   ULONG instanceCount, PULONG instanceLengths, ULONG bufferAvailable,
                                   PUCHAR buffer);
    static NTSTATUS SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                 ULONG bufferSize, PUCHAR buffer);
    static NTSTATUS ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                  ULONG methodId, ULONG inBufferSize, ULONG outBufferSize, PUCHAR buffer);
    static NTSTATUS FunctionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                    WMIENABLEDISABLECONTROL function, BOOLEAN enable);

    friend class KPnpDevice;
};
