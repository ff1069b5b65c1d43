// DPC queue of the simulated processor.
#pragma once

#include <wdm.h>

namespace plat {

// Runs every queued DPC at DISPATCH_LEVEL on the calling thread's stack;
// true if any ran. Used when a thread lowers its IRQL and by the idle loop.
bool DrainDpcQueue();
void ResetDpcQueue();
// Lowers or raises the current thread's IRQL with the side effects of the
// real processor (DPC delivery, spin-lock check at PASSIVE_LEVEL).
void SetIrql(KIRQL newIrql);

}  // namespace plat
