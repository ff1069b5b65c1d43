// A run-once work item: Run executes at PASSIVE_LEVEL in a system worker
// thread, after which the object destroys itself.
#pragma once

#include "Portability.h"

class KDeviceObject;

class KWorkItem {
public:
    // Storage for a subclass of `size` bytes with its I/O work item, or null.
    // The caller constructs the subclass in it.
    static void *Allocate(SIZE_T size, KDeviceObject *owner);
    // Frees storage from Allocate that was never constructed.
    static void FreeUnconstructed(void *storage);

    virtual ~KWorkItem();
    virtual void Run(PVOID context) = 0;
    // Any IRQL up to DISPATCH_LEVEL.
    void Queue();

    // Deleting destructor: the work item and the storage go with the object.
    static void operator delete(void *storage);

    PIO_WORKITEM workItem;
    PVOID context;

protected:
    explicit KWorkItem(void *storage, PVOID runContext);

private:
    static void CommonRoutine(PDEVICE_OBJECT device, PVOID object);
};
