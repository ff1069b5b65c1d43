// The WMI library: WmiSystemControl checks a system-control request, finds the
// provider's GUID and calls its handler; WmiCompleteRequest turns what the
// handler reported into the WNODE answer and completes the request.
#include <wmilib.h>

#include <cstring>
#include <string>

#include "verifier/Verifier.h"

namespace plat {
namespace {

constexpr ULONG Align8(ULONG value) { return (value + 7) & ~ULONG(7); }

constexpr ULONG kPairsOffset = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
constexpr ULONG kSingleInstanceHeader = offsetof(WNODE_SINGLE_INSTANCE, VariableData);
constexpr ULONG kSingleItemHeader = offsetof(WNODE_SINGLE_ITEM, VariableData);
constexpr ULONG kMethodItemHeader = offsetof(WNODE_METHOD_ITEM, VariableData);

// Where the instance data of an all-data answer starts: after the header and
// one offset/length pair per instance.
ULONGLONG AllDataOffset(ULONG instanceCount)
{
    return (ULONGLONG(kPairsOffset) + ULONGLONG(instanceCount) * sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~7ull;
}

bool IsQuery(UCHAR minor)
{
    return minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
           minor == IRP_MN_EXECUTE_METHOD;
}

// The request is answered here with status, and the caller completes it.
NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

void StoreCountedString(PUCHAR at, const UNICODE_STRING *text)
{
    USHORT bytes = text ? text->Length : 0;
    memcpy(at, &bytes, sizeof bytes);
    if (bytes)
        memcpy(at + sizeof bytes, text->Buffer, bytes);
}

// IRP_MN_REGINFO and IRP_MN_REGINFO_EX: one WMIREGINFO from the provider's
// GUID list and what its QueryWmiRegInfo handler adds. A buffer that is too
// small gets the size needed in its first ULONG.
NTSTATUS BuildRegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PSYSCTL_IRP_DISPOSITION disposition)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (!context->QueryWmiRegInfo)
        return NotCompleted(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
    ULONG regFlags = 0;
    UNICODE_STRING instanceName{0, 0, nullptr};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofResourceName{0, 0, nullptr};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);

    bool baseName = regFlags & WMIREG_FLAG_INSTANCE_BASENAME;
    bool pdoNames = regFlags & WMIREG_FLAG_INSTANCE_PDO;
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        baseName |= (context->GuidList[i].Flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
        pdoNames |= (context->GuidList[i].Flags & WMIREG_FLAG_INSTANCE_PDO) != 0;
    }
    if (NT_SUCCESS(status) && pdoNames && !pdo)
        status = STATUS_INVALID_PARAMETER;  // instances named after a PDO that was not given

    ULONGLONG size = offsetof(WMIREGINFOW, WmiRegGuid) + ULONGLONG(context->GuidCount) * sizeof(WMIREGGUIDW);
    ULONGLONG registryPathOffset = size;
    size += sizeof(USHORT) + (registryPath ? registryPath->Length : 0);
    ULONGLONG mofOffset = mofResourceName.Length ? size : 0;
    if (mofOffset)
        size += sizeof(USHORT) + mofResourceName.Length;
    ULONGLONG baseNameOffset = baseName ? size : 0;
    if (baseName)
        size += sizeof(USHORT) + instanceName.Length;

    ULONG available = sp->Parameters.WMI.BufferSize;
    auto *info = static_cast<PWMIREGINFOW>(sp->Parameters.WMI.Buffer);
    ULONG_PTR information = 0;
    if (NT_SUCCESS(status) && size > MAXULONG)
        status = STATUS_INTEGER_OVERFLOW;
    if (NT_SUCCESS(status) && (!info || available < size)) {
        status = STATUS_BUFFER_TOO_SMALL;
        if (info && available >= sizeof(ULONG)) {
            ULONG needed = static_cast<ULONG>(size);
            memcpy(info, &needed, sizeof needed);
            information = sizeof(ULONG);
        }
    }
    if (NT_SUCCESS(status)) {
        memset(info, 0, static_cast<size_t>(size));
        info->BufferSize = static_cast<ULONG>(size);
        info->NextWmiRegInfo = 0;
        info->RegistryPath = static_cast<ULONG>(registryPathOffset);
        info->MofResourceName = static_cast<ULONG>(mofOffset);
        info->GuidCount = context->GuidCount;
        for (ULONG i = 0; i < context->GuidCount; ++i) {
            const WMIGUIDREGINFO &from = context->GuidList[i];
            WMIREGGUIDW &to = info->WmiRegGuid[i];
            to.Guid = *from.Guid;
            to.Flags = from.Flags | regFlags;
            to.InstanceCount = from.InstanceCount;
            if (to.Flags & WMIREG_FLAG_INSTANCE_PDO)
                to.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
            else if (to.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
                to.BaseNameOffset = static_cast<ULONG>(baseNameOffset);
        }
        auto *bytes = reinterpret_cast<PUCHAR>(info);
        StoreCountedString(bytes + registryPathOffset, registryPath);
        if (mofOffset)
            StoreCountedString(bytes + mofOffset, &mofResourceName);
        if (baseNameOffset)
            StoreCountedString(bytes + baseNameOffset, &instanceName);
        information = static_cast<ULONG_PTR>(size);
    }
    // The handler hands over a base name allocated from pool; it is the
    // library's to free.
    if (instanceName.Buffer)
        ExFreePoolWithTag(instanceName.Buffer, 0);
    return NotCompleted(irp, status, information, disposition);
}

// The request's WNODE, or an error status when its size cannot hold what the
// minor function needs. Checked before any handler sees the buffer.
NTSTATUS CheckWnode(PIO_STACK_LOCATION sp)
{
    UCHAR minor = sp->MinorFunction;
    ULONG size = sp->Parameters.WMI.BufferSize;
    auto *header = static_cast<PWNODE_HEADER>(sp->Parameters.WMI.Buffer);
    // A query too small even for the too-small answer fails outright.
    ULONG least = IsQuery(minor) ? sizeof(WNODE_TOO_SMALL) : sizeof(WNODE_HEADER);
    if (!header || size < least)
        return IsQuery(minor) ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_PARAMETER;
    ULONG fixedPart = 0;
    ULONG dataOffset = 0;
    ULONGLONG dataEnd = 0;
    switch (minor) {
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(header);
        fixedPart = kSingleInstanceHeader;
        if (size < fixedPart)
            return STATUS_INVALID_PARAMETER;
        dataOffset = wnode->DataBlockOffset;
        dataEnd = minor == IRP_MN_CHANGE_SINGLE_INSTANCE ? ULONGLONG(dataOffset) + wnode->SizeDataBlock : dataOffset;
        break;
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(header);
        fixedPart = kSingleItemHeader;
        if (size < fixedPart)
            return STATUS_INVALID_PARAMETER;
        dataOffset = wnode->DataBlockOffset;
        dataEnd = ULONGLONG(dataOffset) + wnode->SizeDataItem;
        break;
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(header);
        fixedPart = kMethodItemHeader;
        if (size < fixedPart)
            return STATUS_INVALID_PARAMETER;
        dataOffset = wnode->DataBlockOffset;
        dataEnd = ULONGLONG(dataOffset) + wnode->SizeDataBlock;
        break;
    }
    default:
        return STATUS_SUCCESS;
    }
    if (dataOffset < fixedPart || dataEnd > size)
        return STATUS_INVALID_PARAMETER;
    // Instances are addressed by index; that takes static instance names.
    if (!(header->Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES))
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    return STATUS_SUCCESS;
}

// The index of the GUID in the provider's list, or -1.
LONG FindGuid(PWMILIB_CONTEXT context, LPCGUID guid)
{
    if (!guid)
        return -1;
    for (ULONG i = 0; i < context->GuidCount; ++i)
        if (context->GuidList[i].Guid && IsEqualGUID(*context->GuidList[i].Guid, *guid))
            return static_cast<LONG>(i);
    return -1;
}

// An all-data answer: the handler left one length per instance at the start
// of the pair table; they become offset/length pairs, walking from the last
// so that no length is overwritten before it is read.
void ExpandInstanceLengths(PWNODE_ALL_DATA wnode)
{
    ULONG count = wnode->InstanceCount;
    if (count == 0)
        return;
    auto *lengths = reinterpret_cast<PULONG>(reinterpret_cast<PUCHAR>(wnode) + kPairsOffset);
    auto *pairs = reinterpret_cast<POFFSETINSTANCEDATAANDLENGTH>(lengths);
    ULONG offset = wnode->DataBlockOffset;
    for (ULONG i = 0; i + 1 < count; ++i)
        offset = Align8(offset + lengths[i]);
    for (ULONG i = count; i-- > 0;) {
        ULONG length = lengths[i];
        pairs[i].OffsetInstanceData = offset;
        pairs[i].LengthInstanceData = length;
        if (i > 0)
            offset -= Align8(lengths[i - 1]);
    }
}

}  // namespace
}  // namespace plat

using namespace plat;

extern "C" {

// PASSIVE_LEVEL.
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = sp->MinorFunction;
    if (sp->MajorFunction != IRP_MJ_SYSTEM_CONTROL || (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        VerifierFail("WMI", "WmiSystemControl above PASSIVE_LEVEL");
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return BuildRegInfo(WmiLibInfo, DeviceObject, Irp, IrpDisposition);

    LONG guidIndex = FindGuid(WmiLibInfo, static_cast<LPCGUID>(sp->Parameters.WMI.DataPath));
    if (guidIndex < 0) {
        // Some other driver of the stack may have registered this block.
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    NTSTATUS status = CheckWnode(sp);
    if (!NT_SUCCESS(status))
        return NotCompleted(Irp, status, 0, IrpDisposition);

    auto *buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG bufferSize = sp->Parameters.WMI.BufferSize;
    ULONG index = static_cast<ULONG>(guidIndex);
    *IrpDisposition = IrpProcessed;
    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock)
            return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        auto *wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        ULONG instanceCount = WmiLibInfo->GuidList[index].InstanceCount;
        ULONGLONG dataOffset = AllDataOffset(instanceCount);
        // Both fields fit in the smallest buffer a query may have; the
        // completion reads them back.
        wnode->DataBlockOffset = dataOffset > MAXULONG ? MAXULONG : static_cast<ULONG>(dataOffset);
        wnode->InstanceCount = instanceCount;
        bool tableFits = dataOffset <= bufferSize;
        return WmiLibInfo->QueryWmiDataBlock(
            DeviceObject, Irp, index, 0, instanceCount,
            tableFits ? reinterpret_cast<PULONG>(buffer + kPairsOffset) : nullptr,
            tableFits ? bufferSize - static_cast<ULONG>(dataOffset) : 0,
            tableFits ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock)
            return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, wnode->InstanceIndex, 1, &wnode->SizeDataBlock,
                                             bufferSize - wnode->DataBlockOffset, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        if (!WmiLibInfo->SetWmiDataBlock)
            return NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->SizeDataBlock,
                                           buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        if (!WmiLibInfo->SetWmiDataItem)
            return NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->ItemId,
                                          wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        if (!WmiLibInfo->ExecuteWmiMethod)
            return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->MethodId,
                                            wnode->SizeDataBlock, bufferSize - wnode->DataBlockOffset,
                                            buffer + wnode->DataBlockOffset);
    }
    default: {
        // IRP_MN_ENABLE_EVENTS through IRP_MN_DISABLE_COLLECTION.
        if (!WmiLibInfo->WmiFunctionControl)
            return NotCompleted(Irp, STATUS_SUCCESS, 0, IrpDisposition);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                              enable);
    }
    }
}

// Any IRQL up to DISPATCH_LEVEL; completes the request.
NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = sp->MinorFunction;
    auto *buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG bufferSize = sp->Parameters.WMI.BufferSize;
    ULONG_PTR information = 0;

    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        VerifierFail("WMI", "WmiCompleteRequest for a registration request, which the caller of WmiSystemControl "
                            "completes itself");
    if (IsQuery(minor) && buffer) {
        // Where the answer's data starts, as WmiSystemControl set it up.
        ULONG dataOffset = minor == IRP_MN_QUERY_ALL_DATA ? reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset
                           : minor == IRP_MN_QUERY_SINGLE_INSTANCE
                               ? reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset
                               : reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->DataBlockOffset;
        ULONGLONG needed = ULONGLONG(dataOffset) + BufferUsed;
        if (NT_SUCCESS(Status) && needed > bufferSize) {
            VerifierFail("WMI", "a handler reported " + std::to_string(BufferUsed) +
                                    " bytes used, more than the request's buffer holds");
            Status = STATUS_BUFFER_TOO_SMALL;
        }
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            // The caller learns the size and asks again.
            auto *tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
            tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            tooSmall->WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
            tooSmall->SizeNeeded = needed > MAXULONG ? MAXULONG : static_cast<ULONG>(needed);
            information = sizeof(WNODE_TOO_SMALL);
            Status = STATUS_SUCCESS;
        } else if (NT_SUCCESS(Status)) {
            auto *header = reinterpret_cast<PWNODE_HEADER>(buffer);
            header->BufferSize = static_cast<ULONG>(needed);
            switch (minor) {
            case IRP_MN_QUERY_ALL_DATA: {
                auto *wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
                ExpandInstanceLengths(wnode);
                wnode->OffsetInstanceNameOffsets = 0;
                header->Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
                header->Flags |= WNODE_FLAG_STATIC_INSTANCE_NAMES;
                break;
            }
            case IRP_MN_QUERY_SINGLE_INSTANCE:
                reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
                break;
            default:
                reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
                break;
            }
            information = static_cast<ULONG_PTR>(needed);
        }
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, PriorityBoost);
    return Status;
}

}  // extern "C"
