// KTimer: set and cancel.
#include "KTimer.h"

KTimer::KTimer() : pendingDpc(nullptr) { KeInitializeTimerEx(&timer, NotificationTimer); }

void KTimer::Set(LARGE_INTEGER dueTime)
{
    Cancel();
    pendingDpc = &dpc;
    KeSetTimerEx(&timer, dueTime, 0, &dpc);
}

bool KTimer::Cancel()
{
    bool wasSet = KeCancelTimer(&timer) != FALSE;
    if (pendingDpc) {
        KeRemoveQueueDpc(pendingDpc);
        pendingDpc = nullptr;
    }
    return wasSet;
}
