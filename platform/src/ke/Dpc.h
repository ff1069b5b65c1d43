// DPC queues of the simulated processors.
#pragma once

#include <wdm.h>

namespace plat {

// Runs the DPCs queued on the calling thread's processor at DISPATCH_LEVEL on
// its stack; true if any ran. Used when a thread lowers its IRQL and by the
// idle loop of a machine without a second processor.
bool DrainDpcQueue();
void ResetDpcQueue();
// The second processor, a simulated thread that runs the DPCs the idle loop
// queues (timer expiries, device interrupts); started at boot, joined at
// shutdown.
void StartSecondProcessor();
void StopSecondProcessor();
// Lowers or raises the current thread's IRQL with the side effects of the
// real processor (DPC delivery, spin-lock check at PASSIVE_LEVEL).
void SetIrql(KIRQL newIrql);

}  // namespace plat
