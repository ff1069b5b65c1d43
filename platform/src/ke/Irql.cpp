// IRQL of each simulated thread, spin locks and critical regions.
//
// Only one simulated thread runs at a time, and a thread gives the turn away
// only at a blocking point, which is illegal at DISPATCH_LEVEL. A spin lock
// found held when it is acquired is therefore always a driver fault: either a
// recursive acquisition or a lock kept across a wait.
#include <cstdio>
#include <sstream>

#include "ke/Dpc.h"
#include "ke/Scheduler.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

std::string LockName(PKSPIN_LOCK lock)
{
    std::ostringstream out;
    out << "spin lock at " << static_cast<const void *>(lock);
    return out.str();
}

void TakeLock(SimThread *self, PKSPIN_LOCK lock, const char *routine)
{
    if (*lock != 0) {
        bool mine = false;
        for (PKSPIN_LOCK held : self->heldSpinLocks)
            mine = mine || held == lock;
        VerifierFail("spin lock", std::string(routine) + ": " + LockName(lock) +
                                      (mine ? " acquired recursively by thread '" + self->name + "'"
                                            : " is held by another thread across a wait"));
        return;
    }
    *lock = reinterpret_cast<ULONG_PTR>(self) | 1;
    self->heldSpinLocks.push_back(lock);
}

void DropLock(SimThread *self, PKSPIN_LOCK lock, const char *routine)
{
    for (auto it = self->heldSpinLocks.begin(); it != self->heldSpinLocks.end(); ++it)
        if (*it == lock) {
            self->heldSpinLocks.erase(it);
            *lock = 0;
            return;
        }
    VerifierFail("spin lock", std::string(routine) + ": " + LockName(lock) +
                                  " released by thread '" + self->name + "' that does not hold it");
}

}  // namespace

void SetIrql(KIRQL newIrql)
{
    SimThread *self = CurrentThread();
    KIRQL old = self->irql;
    if (newIrql < DISPATCH_LEVEL && old >= DISPATCH_LEVEL) {
        // Lowering below DISPATCH_LEVEL delivers the queued DPCs first, as the
        // processor's software interrupt would.
        DrainDpcQueue();
    }
    self->irql = newIrql;
    if (newIrql == PASSIVE_LEVEL && !self->heldSpinLocks.empty())
        VerifierFail("spin lock", LockName(self->heldSpinLocks.front()) + " still held by thread '" +
                                      self->name + "' on return to PASSIVE_LEVEL");
}

}  // namespace plat

using plat::CurrentThread;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThread()->irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = CurrentThread()->irql;
    if (NewIrql < old)
        plat::VerifierFail("IRQL", "KeRaiseIrql to a lower IRQL than the current one");
    CurrentThread()->irql = NewIrql;
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > CurrentThread()->irql)
        plat::VerifierFail("IRQL", "KeLowerIrql to a higher IRQL than the current one");
    plat::SetIrql(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    plat::SimThread *self = CurrentThread();
    KIRQL old = self->irql;
    if (old > DISPATCH_LEVEL)
        plat::VerifierFail("IRQL", "KeAcquireSpinLock above DISPATCH_LEVEL");
    self->irql = DISPATCH_LEVEL;
    plat::TakeLock(self, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    plat::SimThread *self = CurrentThread();
    plat::DropLock(self, SpinLock, "KeReleaseSpinLock");
    plat::SetIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    plat::SimThread *self = CurrentThread();
    if (self->irql < DISPATCH_LEVEL)
        plat::VerifierFail("IRQL", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    plat::TakeLock(self, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    plat::SimThread *self = CurrentThread();
    if (self->irql < DISPATCH_LEVEL)
        plat::VerifierFail("IRQL", "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL");
    plat::DropLock(self, SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID KeEnterCriticalRegion(void) { ++CurrentThread()->criticalRegion; }

VOID KeLeaveCriticalRegion(void)
{
    if (--CurrentThread()->criticalRegion < 0)
        plat::VerifierFail("critical region", "KeLeaveCriticalRegion without KeEnterCriticalRegion");
}

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(CurrentThread()); }
PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(CurrentThread()); }

}
