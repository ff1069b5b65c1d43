// I/O work items: IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem.
#include <cstdlib>

#include "io/IoManager.h"
#include "verifier/Verifier.h"

struct _IO_WORKITEM {
    WORK_QUEUE_ITEM item;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace {

void RunIoWorkItem(PVOID parameter)
{
    auto *workItem = static_cast<PIO_WORKITEM>(parameter);
    workItem->queued = false;
    PDEVICE_OBJECT device = workItem->device;
    workItem->routine(device, workItem->context);
    ObDereferenceObject(device);
}

}  // namespace

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (!DeviceObject)
        return nullptr;
    auto *workItem = static_cast<PIO_WORKITEM>(std::calloc(1, sizeof(_IO_WORKITEM)));
    workItem->device = DeviceObject;
    return workItem;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    if (IoWorkItem->queued)
        plat::VerifierFail("work item", "IoFreeWorkItem of a work item that is still queued");
    std::free(IoWorkItem);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    if (IoWorkItem->queued) {
        plat::VerifierFail("work item", "IoQueueWorkItem of a work item that is already queued");
        return;
    }
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    // The device object stays alive while the item waits, as on Windows.
    ObReferenceObject(IoWorkItem->device);
    ExInitializeWorkItem(&IoWorkItem->item, RunIoWorkItem, IoWorkItem);
    ExQueueWorkItem(&IoWorkItem->item, QueueType);
}

}
