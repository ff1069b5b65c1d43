// KWmiProvider: a device's WMI blocks by GUID, their registration with the WMI
// library, and the IRP_MJ_SYSTEM_CONTROL path of KPnpDevice.
#include "KWmiProvider.h"

#include "DriverGlobals.h"
#include "KPnpDevice.h"

namespace {

inline ULONGLONG Align8(ULONGLONG value) { return (value + 7) & ~ULONGLONG(7); }

KWmiProvider *ProviderOf(PDEVICE_OBJECT deviceObject)
{
    auto *object = static_cast<KDeviceObject *>(deviceObject->DeviceExtension);
    return static_cast<KPnpDevice *>(object)->wmiProvider;
}

}  // namespace

NTSTATUS KWmiBlock::EnableEvents(bool) { return STATUS_WMI_NOT_SUPPORTED; }
NTSTATUS KWmiBlock::EnableCollection(bool) { return STATUS_WMI_NOT_SUPPORTED; }
NTSTATUS KWmiBlock::SetData(PVOID) { return STATUS_WMI_NOT_SUPPORTED; }
ULONG KWmiBlock::SetDataSize(ULONG size) { return static_cast<ULONG>(dataSize = static_cast<LONG>(size)); }

KWmiProvider *KWmiProvider::Create(KPnpDevice *device)
{
    void *storage = AllocatePool(sizeof(KWmiProvider));
    if (!storage)
        return nullptr;
    auto *provider = new (storage) KWmiProvider;
    provider->device = device;
    provider->wmilibContext.GuidCount = 0;
    provider->wmilibContext.GuidList = nullptr;
    provider->wmilibContext.QueryWmiRegInfo = QueryRegInfo;
    provider->wmilibContext.QueryWmiDataBlock = QueryDataBlock;
    provider->wmilibContext.SetWmiDataBlock = SetDataBlock;
    provider->wmilibContext.SetWmiDataItem = nullptr;  // no single-item changes
    provider->wmilibContext.ExecuteWmiMethod = ExecuteMethod;
    provider->wmilibContext.WmiFunctionControl = FunctionControl;
    KeInitializeEvent(&provider->lock, SynchronizationEvent, TRUE);
    return provider;
}

// PASSIVE_LEVEL, after the device deregistered: no request can be using the
// provider any more.
void KWmiProvider::Destroy(KWmiProvider *provider)
{
    if (!provider)
        return;
    for (LONG i = 0; i < provider->blocks.count; ++i)
        provider->blocks[i].instances.Free();
    provider->blocks.Free();
    provider->guidList.Free();
    provider->~KWmiProvider();
    FreePool(provider);
}

void KWmiProvider::Lock() { KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr); }
void KWmiProvider::Unlock() { KeSetEvent(&lock, 1, FALSE); }

// PASSIVE_LEVEL; takes the lock.
NTSTATUS KWmiProvider::AddBlock(const GUID &guid, KWmiBlock *block)
{
    Lock();
    LONG index = 0;
    while (index < blocks.count && !IsEqualGUID(blocks[index].guid, guid))
        ++index;
    // Storage is reserved before anything changes, so that running out of
    // pool leaves the two lists in step and the registration as it was.
    NTSTATUS status = STATUS_SUCCESS;
    if (index == blocks.count) {
        WmiBlockEntry entry;
        entry.guid = guid;
        if (!blocks.Reserve(blocks.count + 1) || !guidList.Reserve(guidList.count + 1) ||
            !entry.instances.Reserve(1)) {
            entry.instances.Free();
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            entry.instances.Append(block);
            blocks.Append(entry);
            guidList.Append(WMIGUIDREGINFO{&guid, 1, WMIREG_FLAG_INSTANCE_PDO});
        }
    } else {
        KArray<KWmiBlock *> &instances = blocks[index].instances;
        if (!instances.Reserve(instances.count + 1)) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            instances.Append(block);
            guidList[index].InstanceCount++;
        }
    }
    // The list's storage may have moved, even when a later reservation
    // failed.
    wmilibContext.GuidCount = static_cast<ULONG>(blocks.count);
    wmilibContext.GuidList = guidList.items;
    Unlock();
    return status;
}

// Lock held.
KWmiBlock *KWmiProvider::FindInstance(ULONG guidIndex, ULONG instanceIndex, NTSTATUS *status)
{
    if (guidIndex >= static_cast<ULONG>(blocks.count)) {
        *status = STATUS_WMI_GUID_NOT_FOUND;
        return nullptr;
    }
    KArray<KWmiBlock *> &instances = blocks[guidIndex].instances;
    if (instanceIndex >= static_cast<ULONG>(instances.count)) {
        *status = STATUS_WMI_INSTANCE_NOT_FOUND;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return instances[instanceIndex];
}

// PASSIVE_LEVEL. The library builds the registration; this does not
// complete the request.
NTSTATUS KWmiProvider::QueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING,
                                    PUNICODE_STRING *registryPath, PUNICODE_STRING mofResourceName,
                                    PDEVICE_OBJECT *pdo)
{
    KWmiProvider *provider = ProviderOf(deviceObject);
    *regFlags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &DriverGlobals.registryPath;
    RtlInitUnicodeString(mofResourceName, L"MofResource");
    *pdo = provider->device->pdo;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, lock held; completes the request. Instance k of the answer
// starts at the first multiple of 8 after instance k - 1.
NTSTATUS KWmiProvider::QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                      ULONG instanceCount, PULONG instanceLengths, ULONG bufferAvailable,
                                      PUCHAR buffer)
{
    KWmiProvider *provider = ProviderOf(deviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bufferUsed = 0;
    if (guidIndex >= static_cast<ULONG>(provider->blocks.count)) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else {
        KArray<KWmiBlock *> &instances = provider->blocks[guidIndex].instances;
        ULONG available = static_cast<ULONG>(instances.count);
        if (instanceIndex >= available || instanceCount > available - instanceIndex) {
            status = STATUS_WMI_INSTANCE_NOT_FOUND;
        } else {
            ULONGLONG size = 0;
            for (ULONG k = 0; k < instanceCount; ++k)
                size = (k ? Align8(size) : 0) + instances[instanceIndex + k]->GetDataSize();
            if (size > MAXULONG) {
                status = STATUS_INTEGER_OVERFLOW;
            } else if (!instanceLengths || bufferAvailable < size) {
                status = STATUS_BUFFER_TOO_SMALL;
                bufferUsed = static_cast<ULONG>(size);
            } else {
                ULONGLONG end = 0;
                for (ULONG k = 0; k < instanceCount && NT_SUCCESS(status); ++k) {
                    KWmiBlock *block = instances[instanceIndex + k];
                    ULONGLONG offset = k ? Align8(end) : 0;
                    ULONG length = block->GetDataSize();
                    // A block whose size changed since it was measured must
                    // not write past the buffer.
                    if (offset + length > bufferAvailable) {
                        status = STATUS_BUFFER_TOO_SMALL;
                        break;
                    }
                    status = block->QueryData(buffer + offset);
                    if (NT_SUCCESS(status))
                        instanceLengths[k] = length;
                    end = offset + length;
                }
                bufferUsed = static_cast<ULONG>(size);
            }
        }
    }
    return WmiCompleteRequest(deviceObject, irp, status, bufferUsed, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL, lock held; completes the request.
NTSTATUS KWmiProvider::SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                    ULONG bufferSize, PUCHAR buffer)
{
    NTSTATUS status;
    KWmiBlock *block = ProviderOf(deviceObject)->FindInstance(guidIndex, instanceIndex, &status);
    if (block)
        status = block->SetDataSize(bufferSize) != bufferSize ? STATUS_INFO_LENGTH_MISMATCH : block->SetData(buffer);
    return WmiCompleteRequest(deviceObject, irp, status, 0, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL, lock held; completes the request. No block has methods.
NTSTATUS KWmiProvider::ExecuteMethod(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                                     ULONG, ULONG, ULONG, PUCHAR)
{
    NTSTATUS status;
    if (ProviderOf(deviceObject)->FindInstance(guidIndex, instanceIndex, &status))
        status = STATUS_WMI_NOT_SUPPORTED;
    return WmiCompleteRequest(deviceObject, irp, status, 0, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL, lock held; completes the request with the status of the
// GUID's last instance.
NTSTATUS KWmiProvider::FunctionControl(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                       WMIENABLEDISABLECONTROL function, BOOLEAN enable)
{
    KWmiProvider *provider = ProviderOf(deviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    if (guidIndex >= static_cast<ULONG>(provider->blocks.count)) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else {
        KArray<KWmiBlock *> &instances = provider->blocks[guidIndex].instances;
        for (LONG k = 0; k < instances.count; ++k) {
            if (function == WmiEventControl)
                status = instances[k]->EnableEvents(enable != FALSE);
            else if (function == WmiDataBlockControl)
                status = instances[k]->EnableCollection(enable != FALSE);
            else
                status = STATUS_WMI_NOT_SUPPORTED;
        }
    }
    return WmiCompleteRequest(deviceObject, irp, status, 0, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL.
NTSTATUS KPnpDevice::AddWmiBlock(const GUID &guid, KWmiBlock *block)
{
    if (!wmiProvider)
        wmiProvider = KWmiProvider::Create(this);
    if (!wmiProvider)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = wmiProvider->AddBlock(guid, block);
    if (!NT_SUCCESS(status))
        return status;
    // The provider holds the block now, whatever the update answers: a
    // caller told of a failure would free a block the provider still
    // reports. A failed update only delays it until the next update.
    if (wmiRegistered && !NT_SUCCESS(IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_UPDATE_GUIDS)))
        DbgPrint("vexlink.sys WMI registration update failed\n");
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Not under the remove lock: the device deregisters before it
// goes, and the platform lets requests already sent finish first.
NTSTATUS KPnpDevice::DispatchSystemControl(PIRP irp)
{
    if (!wmiProvider)
        return Forward(irp);
    SYSCTL_IRP_DISPOSITION disposition = IrpForward;
    wmiProvider->Lock();
    NTSTATUS status = WmiSystemControl(&wmiProvider->wmilibContext, deviceObject, irp, &disposition);
    wmiProvider->Unlock();
    switch (disposition) {
    case IrpProcessed:
        return status;
    case IrpNotCompleted:
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    default:  // IrpNotWmi, IrpForward
        return Forward(irp);
    }
}
