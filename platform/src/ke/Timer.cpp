// Kernel timers: KeInitializeTimerEx, KeSetTimerEx, KeCancelTimer.
//
// Armed timers are kept in one list ordered by due time; the idle loop asks
// for the earliest due time and expires what is due when the virtual clock
// jumps there.
#include "ke/Clock.h"
#include "ke/Scheduler.h"
#include "ke/Wait.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

struct TimerList {
    LIST_ENTRY head;
    bool initialised = false;
};

LIST_ENTRY &armed()
{
    static TimerList list;
    if (!list.initialised) {
        InitializeListHead(&list.head);
        list.initialised = true;
    }
    return list.head;
}

bool IsArmed(PKTIMER timer) { return timer->TimerListEntry.Flink != nullptr; }

bool OnArmedList(PKTIMER timer)
{
    for (PLIST_ENTRY at = armed().Flink; at != &armed(); at = at->Flink)
        if (at == &timer->TimerListEntry)
            return true;
    return false;
}

void Disarm(PKTIMER timer)
{
    RemoveEntryList(&timer->TimerListEntry);
    timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
}

void Arm(PKTIMER timer, LONGLONG due)
{
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    PLIST_ENTRY at = armed().Flink;
    while (at != &armed()) {
        PKTIMER other = CONTAINING_RECORD(at, KTIMER, TimerListEntry);
        if (static_cast<LONGLONG>(other->DueTime.QuadPart) > due)
            break;
        at = at->Flink;
    }
    // Insert before `at`: the list stays ordered, equal due times in arming order.
    InsertTailList(at, &timer->TimerListEntry);
}

bool NextDue(LONGLONG *due)
{
    if (IsListEmpty(&armed()))
        return false;
    *due = static_cast<LONGLONG>(CONTAINING_RECORD(armed().Flink, KTIMER, TimerListEntry)->DueTime.QuadPart);
    return true;
}

void Expire(LONGLONG now)
{
    while (!IsListEmpty(&armed())) {
        PKTIMER timer = CONTAINING_RECORD(armed().Flink, KTIMER, TimerListEntry);
        if (static_cast<LONGLONG>(timer->DueTime.QuadPart) > now)
            break;
        Disarm(timer);
        timer->Header.SignalState = 1;
        SatisfyWaiters(&timer->Header);
        if (timer->Period > 0)
            Arm(timer, now + static_cast<LONGLONG>(timer->Period) * kTicksPerMillisecond);
        if (timer->Dpc)
            KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(now), nullptr);
    }
}

}  // namespace

void InstallTimerHooks()
{
    InitializeListHead(&armed());
    Scheduler::Get().nextTimerDue = NextDue;
    Scheduler::Get().expireTimers = Expire;
}

}  // namespace plat

extern "C" {

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    // Found by address in the armed list: the timer's own fields may be
    // anything before its first initialisation.
    if (plat::OnArmedList(Timer)) {
        plat::VerifierFail("timer", "KeInitializeTimerEx of a timer that is still set");
        plat::Disarm(Timer);
    }
    plat::InitializeDispatcherHeader(&Timer->Header,
                                     Type == NotificationTimer ? plat::kNotificationTimerType
                                                               : plat::kSynchronizationTimerType,
                                     sizeof(KTIMER), 0);
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
    Timer->DueTime.QuadPart = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    BOOLEAN wasArmed = plat::IsArmed(Timer);
    if (wasArmed)
        plat::Disarm(Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    LONGLONG now = plat::SystemTimeNow();
    LONGLONG due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
    // A due time already past expires at the next idle step.
    plat::Arm(Timer, due < now ? now : due);
    plat::Scheduler::Get().SyncPoint();
    return wasArmed;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    if (!plat::IsArmed(Timer))
        return FALSE;
    plat::Disarm(Timer);
    return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }

}
