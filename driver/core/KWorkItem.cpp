// KWorkItem: allocation, queueing and self-destruction after Run.
#include "KWorkItem.h"

#include "DriverGlobals.h"
#include "KDeviceObject.h"
#include "Pool.h"

namespace {

// The I/O work item travels in front of the object's storage until the
// constructor takes it over.
struct alignas(16) StoragePrefix {
    PIO_WORKITEM workItem;
};

}  // namespace

void *KWorkItem::Allocate(SIZE_T size, KDeviceObject *owner)
{
    PDEVICE_OBJECT device = owner && owner->deviceObject ? owner->deviceObject : DriverGlobals.driverObject->DeviceObject;
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (!item)
        return nullptr;
    auto prefix = static_cast<StoragePrefix *>(AllocatePool(sizeof(StoragePrefix) + size));
    if (!prefix) {
        IoFreeWorkItem(item);
        return nullptr;
    }
    prefix->workItem = item;
    return prefix + 1;
}

void KWorkItem::FreeUnconstructed(void *storage)
{
    auto prefix = static_cast<StoragePrefix *>(storage) - 1;
    IoFreeWorkItem(prefix->workItem);
    FreePool(prefix);
}

KWorkItem::KWorkItem(void *storage, PVOID runContext)
    : workItem((static_cast<StoragePrefix *>(storage) - 1)->workItem), context(runContext)
{
}

KWorkItem::~KWorkItem()
{
    IoFreeWorkItem(workItem);
}

void KWorkItem::operator delete(void *storage) { FreePool(static_cast<StoragePrefix *>(storage) - 1); }

void KWorkItem::Queue() { IoQueueWorkItem(workItem, CommonRoutine, CriticalWorkQueue, this); }

// PASSIVE_LEVEL, system worker thread.
void KWorkItem::CommonRoutine(PDEVICE_OBJECT, PVOID object)
{
    auto *item = static_cast<KWorkItem *>(object);
    item->Run(item->context);
    delete item;
}
