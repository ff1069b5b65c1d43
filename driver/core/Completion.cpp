// Completion helpers and MapMdl.
#include "Completion.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Information = information;
    return CompleteRequest(irp, status);
}

// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PVOID MapMdl(PMDL mdl)
{
    if (!mdl)
        return nullptr;
    CSHORT entryFlags = mdl->MdlFlags;
    mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
    PVOID address;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        address = mdl->MappedSystemVa;
    else
        address = MmMapLockedPages(mdl, KernelMode);
    if (!(entryFlags & MDL_MAPPING_CAN_FAIL))
        mdl->MdlFlags &= ~MDL_MAPPING_CAN_FAIL;
    return address;
}
