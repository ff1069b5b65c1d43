// A kernel timer with its DPC; at most one expiry is pending at a time.
#pragma once

#include "Portability.h"

class KTimer {
public:
    KTimer();
    // Any IRQL up to DISPATCH_LEVEL. A negative due time is relative.
    void Set(LARGE_INTEGER dueTime);
    // Any IRQL up to DISPATCH_LEVEL; true when the timer was still armed.
    bool Cancel();

    KTIMER timer;
    PKDPC pendingDpc;
    KDPC dpc;  // routine and context set by the owner
};
