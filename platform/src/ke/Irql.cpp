// IRQL of each simulated thread, spin locks and critical regions.
//
// A thread switched away from at a synchronisation point keeps its IRQL and
// its spin locks, as code on another processor would. A thread that finds a
// spin lock held by another therefore spins: it is blocked on the lock until
// the holder releases it, so that a lock-order cycle shows as a deadlock
// naming both. A lock held by the acquiring thread itself is a recursive
// acquisition, which would hang a real processor for good.
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

SimThread *Holder(PKSPIN_LOCK lock) { return reinterpret_cast<SimThread *>(*lock & ~ULONG_PTR{1}); }

void TakeLock(SimThread *self, PKSPIN_LOCK lock, const char *routine)
{
    Scheduler::Get().SyncPoint();
    while (*lock != 0) {
        SimThread *holder = Holder(lock);
        if (holder == self) {
            VerifierFail("spin lock", std::string(routine) + ": " + LockName(lock) +
                                          " acquired recursively by thread '" + self->name + "'");
            return;
        }
        self->waitObject = lock;
        self->waitDescription = LockName(lock) + " (spinning; held by thread '" + holder->name + "')";
        self->hasDeadline = false;
        if (Scheduler::Get().Block(self) != STATUS_SUCCESS) {
            // Released by a deadlock report: go on as if the lock were
            // taken, so that the releases pair up, without taking it from
            // its holder.
            self->heldSpinLocks.push_back(lock);
            return;
        }
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
            for (SimThread *t : Scheduler::Get().Threads())
                if (t->state == SimThread::State::Blocked && t->waitObject == lock)
                    Scheduler::Get().Wake(t, STATUS_SUCCESS);
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
    Scheduler::Get().SyncPoint();
}

}  // namespace plat

using plat::CurrentThread;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return CurrentThread()->irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    plat::Scheduler::Get().SyncPoint();
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
    // Raised first: from here on this processor takes no DPC, and a spin
    // while another processor holds the lock happens at DISPATCH_LEVEL.
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
    plat::Scheduler::Get().SyncPoint();
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
