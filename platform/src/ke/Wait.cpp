// Events, semaphores, fast mutexes and KeWaitForSingleObject.
//
// Dispatcher objects keep their state in DISPATCHER_HEADER.SignalState; the
// threads waiting for an object are found through their waitObject field, so
// the objects need no platform-owned storage and may live in zero-filled
// device extensions.
#include <sstream>

#include "ke/Clock.h"
#include "ke/Scheduler.h"
#include "ke/Wait.h"
#include "ke/Dpc.h"
#include "verifier/Verifier.h"

namespace plat {
namespace {

constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kSemaphore = 5;

std::string Describe(const char *kind, const void *object)
{
    std::ostringstream out;
    out << kind << " at " << object;
    return out.str();
}

bool ConsumesSignal(const DISPATCHER_HEADER *header)
{
    return header->Type != kNotificationEvent && header->Type != kNotificationTimerType;
}

// Oldest waiter of the object, or null.
SimThread *FirstWaiter(void *object)
{
    SimThread *first = nullptr;
    for (SimThread *t : Scheduler::Get().Threads())
        if (t->state == SimThread::State::Blocked && t->waitObject == object &&
            (!first || t->waitSequence < first->waitSequence))
            first = t;
    return first;
}

}  // namespace

void InitializeDispatcherHeader(DISPATCHER_HEADER *header, UCHAR type, size_t objectSize, LONG signalState)
{
    header->Type = type;
    header->Signalling = 0;
    header->Size = static_cast<UCHAR>(objectSize / sizeof(LONG));
    header->Reserved1 = 0;
    header->SignalState = signalState;
    InitializeListHead(&header->WaitListHead);
}

void SatisfyWaiters(DISPATCHER_HEADER *header)
{
    while (header->SignalState > 0) {
        SimThread *waiter = FirstWaiter(header);
        if (!waiter)
            return;
        if (ConsumesSignal(header))
            --header->SignalState;
        Scheduler::Get().Wake(waiter, STATUS_SUCCESS);
    }
}

}  // namespace plat

using plat::CurrentThread;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    plat::InitializeDispatcherHeader(&Event->Header,
                                     Type == NotificationEvent ? plat::kNotificationEvent : plat::kSynchronizationEvent,
                                     sizeof(KEVENT), State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    plat::SatisfyWaiters(&Event->Header);
    plat::Scheduler::Get().SyncPoint();
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    plat::InitializeDispatcherHeader(&Semaphore->Header, plat::kSemaphore, sizeof(KSEMAPHORE), Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    LONG previous = Semaphore->Header.SignalState;
    if (previous + Adjustment > Semaphore->Limit)
        ExRaiseStatus(static_cast<NTSTATUS>(0xC0000047L));  // STATUS_SEMAPHORE_LIMIT_EXCEEDED
    Semaphore->Header.SignalState = previous + Adjustment;
    plat::SatisfyWaiters(&Semaphore->Header);
    plat::Scheduler::Get().SyncPoint();
    return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    plat::SimThread *self = CurrentThread();
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (self->irql >= DISPATCH_LEVEL && !zeroTimeout) {
        plat::VerifierFail("wait", "KeWaitForSingleObject with a non-zero timeout at IRQL " +
                                       std::to_string(self->irql) + " by thread '" + self->name + "'");
        return STATUS_TIMEOUT;
    }
    if (header->SignalState > 0) {
        if (plat::ConsumesSignal(header))
            --header->SignalState;
        return STATUS_SUCCESS;
    }
    if (zeroTimeout)
        return STATUS_TIMEOUT;
    self->waitObject = Object;
    self->waitDescription = plat::Describe(header->Type == plat::kSemaphore ? "semaphore"
                                           : header->Type >= plat::kNotificationTimerType ? "timer"
                                                                                          : "event",
                                           Object);
    self->hasDeadline = Timeout != nullptr;
    if (Timeout)
        self->deadline = Timeout->QuadPart < 0 ? plat::SystemTimeNow() - Timeout->QuadPart
                                               : Timeout->QuadPart;
    return plat::Scheduler::Get().Block(self);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    plat::SimThread *self = CurrentThread();
    if (self->irql > APC_LEVEL)
        plat::VerifierFail("wait", "KeDelayExecutionThread above APC_LEVEL");
    LONGLONG due = Interval->QuadPart < 0 ? plat::SystemTimeNow() - Interval->QuadPart : Interval->QuadPart;
    if (due <= plat::SystemTimeNow()) {
        plat::Scheduler::Get().Yield();
        return STATUS_SUCCESS;
    }
    self->waitObject = nullptr;
    self->waitDescription = "a delay";
    self->hasDeadline = true;
    self->deadline = due;
    plat::Scheduler::Get().Block(self);
    return STATUS_SUCCESS;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    plat::SimThread *self = CurrentThread();
    if (self->irql > APC_LEVEL)
        plat::VerifierFail("fast mutex", "ExAcquireFastMutex above APC_LEVEL");
    if (FastMutex->Owner == reinterpret_cast<PKTHREAD>(self))
        plat::VerifierFail("fast mutex", "ExAcquireFastMutex acquired recursively");
    KIRQL old = self->irql;
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        ++FastMutex->Contention;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    self->irql = APC_LEVEL;
    FastMutex->Owner = reinterpret_cast<PKTHREAD>(self);
    FastMutex->OldIrql = old;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    plat::SimThread *self = CurrentThread();
    if (FastMutex->Owner != reinterpret_cast<PKTHREAD>(self))
        plat::VerifierFail("fast mutex", "ExReleaseFastMutex by a thread that does not own it");
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    if (InterlockedIncrement(&FastMutex->Count) != 1)
        KeSetEvent(&FastMutex->Event, 0, FALSE);
    plat::SetIrql(old);
}

}
