// KRecursiveLock: a synchronization event with an owner and a depth.
#include "KRecursiveLock.h"

void KRecursiveLock::Initialize()
{
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    owner = nullptr;
    depth = 0;
}

// PASSIVE_LEVEL.
void KRecursiveLock::Acquire()
{
    if (owner == KeGetCurrentThread()) {
        ++depth;
        return;
    }
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    owner = KeGetCurrentThread();
    depth = 1;
}

// PASSIVE_LEVEL; the caller owns the lock.
void KRecursiveLock::Release()
{
    if (--depth == 0) {
        owner = nullptr;
        KeSetEvent(&event, 1, FALSE);
        KeLeaveCriticalRegion();
    }
}
