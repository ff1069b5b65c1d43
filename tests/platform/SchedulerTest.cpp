// The dispatcher of the simulated machine: virtual time, waits and delays,
// simulated threads and their seeded interleaving, deadlock reports, DPC
// delivery, timers, events and system work items.
#include "support/TestMachine.h"

#include <set>
#include <sstream>

#include "ke/Clock.h"
#include "ke/Scheduler.h"

namespace {

constexpr LONGLONG kTicksPerSecond = 10000000;

LONGLONG Now()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// A due time or interval relative to now, as drivers write them.
LARGE_INTEGER Relative(LONGLONG ticks)
{
    LARGE_INTEGER value;
    value.QuadPart = -ticks;
    return value;
}

NTSTATUS Wait(PVOID object, LARGE_INTEGER *timeout = nullptr)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

std::string Address(const void *object)
{
    std::ostringstream out;
    out << object;
    return out.str();
}

// Collects deadlock reports while alive; the fixture's handler comes back
// afterwards.
class DeadlockCapture {
public:
    DeadlockCapture() : previous_(plat::Scheduler::Get().onDeadlock)
    {
        plat::Scheduler::Get().onDeadlock = [this](const std::string &report) { reports.push_back(report); };
    }
    ~DeadlockCapture() { plat::Scheduler::Get().onDeadlock = previous_; }
    std::vector<std::string> reports;

private:
    std::function<void(const std::string &)> previous_;
};

class SchedulerTest : public test::MachineTest {};

// ---------------------------------------------------------------------------
// Virtual time

struct TimeoutCase {
    const char *name;
    bool absolute;
};
void PrintTo(const TimeoutCase &c, std::ostream *os) { *os << c.name; }

class WaitTimeoutTest : public SchedulerTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(WaitTimeoutTest, TenSecondTimeoutJumpsTheClockExactlyTenSeconds)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LONGLONG start = Now();
    ULONGLONG interruptStart = KeQueryInterruptTime();
    LARGE_INTEGER timeout = Relative(10 * kTicksPerSecond);
    if (GetParam().absolute)
        timeout.QuadPart = start + 10 * kTicksPerSecond;

    EXPECT_EQ(STATUS_TIMEOUT, Wait(&never, &timeout));

    EXPECT_EQ(10 * kTicksPerSecond, Now() - start);
    EXPECT_EQ(static_cast<ULONGLONG>(10 * kTicksPerSecond), KeQueryInterruptTime() - interruptStart);
}

INSTANTIATE_TEST_SUITE_P(DueTimes, WaitTimeoutTest,
                         ::testing::Values(TimeoutCase{"Relative", false}, TimeoutCase{"Absolute", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SchedulerTest, SignalledObjectAndZeroTimeoutDoNotMoveTheClock)
{
    KEVENT set, clear;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    KeInitializeEvent(&clear, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    LARGE_INTEGER tenSeconds = Relative(10 * kTicksPerSecond);
    LONGLONG start = Now();

    EXPECT_EQ(STATUS_SUCCESS, Wait(&set, &tenSeconds));
    EXPECT_EQ(STATUS_TIMEOUT, Wait(&clear, &zero));
    EXPECT_EQ(start, Now());
}

TEST_F(SchedulerTest, EarliestDeadlineWinsWhenSeveralThreadsWait)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::vector<std::pair<std::string, LONGLONG>> woke;
    LONGLONG start = Now();
    auto sleeper = [&](const char *name, LONGLONG seconds) {
        return plat::Scheduler::Get().CreateThread(name, [&, name, seconds] {
            LARGE_INTEGER timeout = Relative(seconds * kTicksPerSecond);
            EXPECT_EQ(STATUS_TIMEOUT, Wait(&never, &timeout));
            woke.emplace_back(name, (Now() - start) / kTicksPerSecond);
        });
    };
    plat::SimThread *late = sleeper("late", 7);
    plat::SimThread *early = sleeper("early", 3);
    plat::Scheduler::Get().Join(late);
    plat::Scheduler::Get().Join(early);

    EXPECT_EQ((std::vector<std::pair<std::string, LONGLONG>>{{"early", 3}, {"late", 7}}), woke);
    EXPECT_EQ(7 * kTicksPerSecond, Now() - start);
}

TEST_F(SchedulerTest, DelayExecutionSleepsExactlyItsInterval)
{
    LONGLONG start = Now();
    LARGE_INTEGER interval = Relative(250 * plat::kTicksPerMillisecond);
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
    EXPECT_EQ(250 * plat::kTicksPerMillisecond, Now() - start);

    // An absolute time already past only yields.
    LARGE_INTEGER past;
    past.QuadPart = start;
    EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &past));
    EXPECT_EQ(250 * plat::kTicksPerMillisecond, Now() - start);
}

TEST_F(SchedulerTest, ANewMachineBootsAtItsBootTimeWhateverTheLastOneReached)
{
    LARGE_INTEGER interval = Relative(3600 * kTicksPerSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    Restart();
    EXPECT_EQ(options.bootTime, Now());
    EXPECT_EQ(0u, KeQueryInterruptTime());
}

// ---------------------------------------------------------------------------
// Simulated threads

TEST_F(SchedulerTest, TwoThreadsHandEventsBackAndForth)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::vector<std::string> log;
    auto player = [&](const char *name, PKEVENT mine, PKEVENT other, bool serves) {
        return plat::Scheduler::Get().CreateThread(name, [&, name, mine, other, serves] {
            for (int round = 0; round < 3; ++round) {
                if (!serves || round > 0) {
                    EXPECT_EQ(STATUS_SUCCESS, Wait(mine));
                }
                log.push_back(std::string(name) + std::to_string(round));
                EXPECT_EQ(std::string(name), plat::CurrentThread()->name);
                KeSetEvent(other, IO_NO_INCREMENT, FALSE);
            }
        });
    };
    plat::SimThread *a = player("ping", &ping, &pong, true);
    plat::SimThread *b = player("pong", &pong, &ping, false);
    plat::Scheduler::Get().Join(a);
    plat::Scheduler::Get().Join(b);

    EXPECT_EQ((std::vector<std::string>{"ping0", "pong0", "ping1", "pong1", "ping2", "pong2"}), log);
    // Only the main thread, the system workers and the second processor are left.
    for (plat::SimThread *t : plat::Scheduler::Get().Threads()) {
        EXPECT_TRUE(t->name == "main" || t->name.rfind("system worker", 0) == 0 || t->name == "processor 1")
            << t->name;
    }
}

TEST_F(SchedulerTest, ANewThreadRunsOnlyWhenTheCreatorGivesUpTheTurn)
{
    bool ran = false;
    plat::SimThread *t = plat::Scheduler::Get().CreateThread("lazy", [&] { ran = true; });
    EXPECT_FALSE(ran);
    plat::Scheduler::Get().Join(t);
    EXPECT_TRUE(ran);
}

class InterleavingTest : public SchedulerTest {
protected:
    // Three threads that each record their letter and yield, four times over.
    std::string RecordInterleaving(uint64_t seed)
    {
        options.seed = seed;
        Restart();
        std::string order;
        std::vector<plat::SimThread *> threads;
        for (char letter : std::string("ABC"))
            threads.push_back(plat::Scheduler::Get().CreateThread(std::string(1, letter), [&order, letter] {
                for (int i = 0; i < 4; ++i) {
                    order.push_back(letter);
                    LARGE_INTEGER now{};  // a zero interval only yields the turn
                    KeDelayExecutionThread(KernelMode, FALSE, &now);
                }
            }));
        for (plat::SimThread *t : threads)
            plat::Scheduler::Get().Join(t);
        return order;
    }
};

TEST_F(InterleavingTest, SameSeedGivesTheSameOrder)
{
    for (uint64_t seed : {1u, 7u, 12345u}) {
        std::string first = RecordInterleaving(seed);
        EXPECT_EQ(12u, first.size());
        EXPECT_EQ(first, RecordInterleaving(seed)) << "seed " << seed;
    }
}

TEST_F(InterleavingTest, DifferentSeedsExploreDifferentOrders)
{
    std::set<std::string> orders;
    for (uint64_t seed = 1; seed <= 10; ++seed)
        orders.insert(RecordInterleaving(seed));
    EXPECT_GT(orders.size(), 1u);
}

// ---------------------------------------------------------------------------
// Deadlocks

TEST_F(SchedulerTest, DeadlockReportNamesEveryBlockedThreadAndWhatItWaitsFor)
{
    DeadlockCapture capture;
    KEVENT helperReady, helperGo, never;
    KeInitializeEvent(&helperReady, NotificationEvent, FALSE);
    KeInitializeEvent(&helperGo, NotificationEvent, FALSE);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS helperStatus = STATUS_PENDING;
    plat::SimThread *helper = plat::Scheduler::Get().CreateThread("stuck helper", [&] {
        KeSetEvent(&helperReady, IO_NO_INCREMENT, FALSE);
        helperStatus = Wait(&helperGo);
    });
    ASSERT_EQ(STATUS_SUCCESS, Wait(&helperReady));
    // The helper may not have reached its wait yet: the main thread's wait
    // must be the one that completes the deadlock.
    while (helper->state != plat::SimThread::State::Blocked)
        plat::Scheduler::Get().Yield();

    // Nobody will ever set this event: the scheduler finds no thread to run
    // and nothing due, reports, and (since the handler returns) fails the wait.
    NTSTATUS status = Wait(&never);

    ASSERT_EQ(1u, capture.reports.size());
    const std::string &report = capture.reports[0];
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    EXPECT_NE(std::string::npos, report.find("deadlock")) << report;
    EXPECT_NE(std::string::npos, report.find("'main': blocked, waiting for event at " + Address(&never))) << report;
    EXPECT_NE(std::string::npos, report.find("'stuck helper': blocked, waiting for event at " + Address(&helperGo)))
        << report;
    for (plat::SimThread *t : plat::Scheduler::Get().Threads()) {
        EXPECT_NE(std::string::npos, report.find("'" + t->name + "': blocked")) << t->name << "\n" << report;
    }

    KeSetEvent(&helperGo, IO_NO_INCREMENT, FALSE);
    plat::Scheduler::Get().Join(helper);
    EXPECT_EQ(STATUS_SUCCESS, helperStatus);
}

TEST_F(SchedulerTest, DeadlockFoundWhenTheLastRunnableThreadEndsReleasesTheOldestWaiter)
{
    DeadlockCapture capture;
    KEVENT neverSet;
    KeInitializeEvent(&neverSet, NotificationEvent, FALSE);
    // The thread was meant to set the event but ends without doing so.
    plat::SimThread *forgetful = plat::Scheduler::Get().CreateThread("forgetful", [] {});

    EXPECT_EQ(STATUS_UNSUCCESSFUL, Wait(&neverSet));

    ASSERT_EQ(1u, capture.reports.size());
    EXPECT_NE(std::string::npos, capture.reports[0].find("'main': blocked, waiting for event at " + Address(&neverSet)))
        << capture.reports[0];
    plat::Scheduler::Get().Join(forgetful);
}

TEST_F(SchedulerTest, DeadlockInAJoinNamesTheThreadAwaited)
{
    DeadlockCapture capture;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS workerStatus = STATUS_PENDING;
    plat::SimThread *t = plat::Scheduler::Get().CreateThread("waits forever", [&] { workerStatus = Wait(&never); });

    plat::Scheduler::Get().Join(t);

    ASSERT_EQ(1u, capture.reports.size());
    EXPECT_NE(std::string::npos, capture.reports[0].find("'main': blocked, waiting for thread 'waits forever' to end"))
        << capture.reports[0];
    EXPECT_NE(std::string::npos, capture.reports[0].find("'waits forever': blocked, waiting for event at " +
                                                         Address(&never)))
        << capture.reports[0];
    // The thread that found the deadlock was the one released.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, workerStatus);
}

// ---------------------------------------------------------------------------
// DPCs

struct DpcRecord {
    int runs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    PKSPIN_LOCK lockToCheck = nullptr;
    bool lockWasFree = false;
    LONGLONG time = 0;
    PKEVENT signal = nullptr;
};

VOID RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    auto *record = static_cast<DpcRecord *>(context);
    ++record->runs;
    record->irql = KeGetCurrentIrql();
    record->argument1 = argument1;
    record->argument2 = argument2;
    record->time = Now();
    if (record->lockToCheck)
        record->lockWasFree = *record->lockToCheck == 0;
    if (record->signal)
        KeSetEvent(record->signal, IO_NO_INCREMENT, FALSE);
}

TEST_F(SchedulerTest, DpcQueuedAtDispatchLevelRunsWhenTheIrqlDropsBelowIt)
{
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    int a = 1, b = 2;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &a, &b));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
    EXPECT_EQ(0, record.runs);
    KeLowerIrql(old);

    EXPECT_EQ(1, record.runs);
    EXPECT_EQ(DISPATCH_LEVEL, record.irql);
    EXPECT_EQ(&a, record.argument1);
    EXPECT_EQ(&b, record.argument2);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(SchedulerTest, DpcQueuedUnderASpinLockRunsAfterTheLockIsReleased)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    DpcRecord record;
    record.lockToCheck = &lock;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(0, record.runs);
    KeReleaseSpinLock(&lock, old);

    EXPECT_EQ(1, record.runs);
    EXPECT_TRUE(record.lockWasFree);
}

TEST_F(SchedulerTest, DpcQueuedAtPassiveLevelRunsAtOnceAndARemovedOneNever)
{
    DpcRecord now, removed;
    KDPC nowDpc, removedDpc;
    KeInitializeDpc(&nowDpc, RecordDpc, &now);
    KeInitializeDpc(&removedDpc, RecordDpc, &removed);

    EXPECT_TRUE(KeInsertQueueDpc(&nowDpc, nullptr, nullptr));
    EXPECT_EQ(1, now.runs);
    EXPECT_EQ(DISPATCH_LEVEL, now.irql);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&removedDpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&removedDpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&removedDpc));
    KeLowerIrql(old);
    EXPECT_EQ(0, removed.runs);
}

// ---------------------------------------------------------------------------
// Timers

TEST_F(SchedulerTest, TimerDpcFiresAtItsDueTime)
{
    KEVENT fired;
    KeInitializeEvent(&fired, NotificationEvent, FALSE);
    DpcRecord record;
    record.signal = &fired;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = Now();

    EXPECT_FALSE(KeSetTimer(&timer, Relative(5 * kTicksPerSecond), &dpc));
    EXPECT_EQ(0, record.runs);
    EXPECT_EQ(STATUS_SUCCESS, Wait(&fired));

    EXPECT_EQ(1, record.runs);
    EXPECT_EQ(start + 5 * kTicksPerSecond, record.time);
    EXPECT_EQ(start + 5 * kTicksPerSecond, Now());
    EXPECT_EQ(DISPATCH_LEVEL, record.irql);
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(SchedulerTest, PeriodicTimerFiresEveryPeriodUntilCancelled)
{
    KEVENT fired;
    KeInitializeEvent(&fired, SynchronizationEvent, FALSE);
    DpcRecord record;
    record.signal = &fired;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    LONGLONG start = Now();

    KeSetTimerEx(&timer, Relative(1 * kTicksPerSecond), 100, &dpc);
    std::vector<LONGLONG> times;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(STATUS_SUCCESS, Wait(&fired));
        times.push_back((record.time - start) / plat::kTicksPerMillisecond);
    }
    EXPECT_TRUE(KeCancelTimer(&timer));

    EXPECT_EQ((std::vector<LONGLONG>{1000, 1100, 1200}), times);
    LARGE_INTEGER timeout = Relative(10 * kTicksPerSecond);
    EXPECT_EQ(STATUS_TIMEOUT, Wait(&fired, &timeout));
    EXPECT_EQ(3, record.runs);
}

TEST_F(SchedulerTest, CancelledTimerNeverFires)
{
    DpcRecord record;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(1 * kTicksPerSecond), &dpc);

    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));

    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(5 * kTicksPerSecond);
    EXPECT_EQ(STATUS_TIMEOUT, Wait(&never, &timeout));
    EXPECT_EQ(0, record.runs);
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(SchedulerTest, SettingAnArmedTimerAgainMovesItsDueTime)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = Now();
    EXPECT_FALSE(KeSetTimer(&timer, Relative(1 * kTicksPerSecond), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(4 * kTicksPerSecond), nullptr));

    EXPECT_EQ(STATUS_SUCCESS, Wait(&timer));
    EXPECT_EQ(start + 4 * kTicksPerSecond, Now());
}

struct TimerTypeCase {
    const char *name;
    TIMER_TYPE type;
    bool staysSignalled;
};
void PrintTo(const TimerTypeCase &c, std::ostream *os) { *os << c.name; }

class TimerTypeTest : public SchedulerTest, public ::testing::WithParamInterface<TimerTypeCase> {};

TEST_P(TimerTypeTest, WaitingOnTheTimerReturnsAtItsDueTime)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, GetParam().type);
    LONGLONG start = Now();
    KeSetTimer(&timer, Relative(2 * kTicksPerSecond), nullptr);

    EXPECT_EQ(STATUS_SUCCESS, Wait(&timer));
    EXPECT_EQ(start + 2 * kTicksPerSecond, Now());

    LARGE_INTEGER zero{};
    EXPECT_EQ(GetParam().staysSignalled ? STATUS_SUCCESS : STATUS_TIMEOUT, Wait(&timer, &zero));
}

INSTANTIATE_TEST_SUITE_P(Types, TimerTypeTest,
                         ::testing::Values(TimerTypeCase{"Notification", NotificationTimer, true},
                                           TimerTypeCase{"Synchronization", SynchronizationTimer, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Events

struct EventCase {
    const char *name;
    EVENT_TYPE type;
    int releasedByOneSet;
    LONG stateAfterSet;
};
void PrintTo(const EventCase &c, std::ostream *os) { *os << c.name; }

class EventTypeTest : public SchedulerTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(EventTypeTest, OneSetReleasesWhatTheEventTypeAllows)
{
    KEVENT event;
    KeInitializeEvent(&event, GetParam().type, FALSE);
    int released = 0;
    std::vector<plat::SimThread *> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(plat::Scheduler::Get().CreateThread("waiter " + std::to_string(i), [&] {
            EXPECT_EQ(STATUS_SUCCESS, Wait(&event));
            ++released;
        }));
    // A short sleep lets every runnable thread run before the clock moves.
    LARGE_INTEGER settle = Relative(plat::kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    ASSERT_EQ(0, released);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(GetParam().releasedByOneSet, released);
    EXPECT_EQ(GetParam().stateAfterSet, KeReadStateEvent(&event));

    while (released < 3) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeDelayExecutionThread(KernelMode, FALSE, &settle);
    }
    for (plat::SimThread *t : waiters)
        plat::Scheduler::Get().Join(t);
}

INSTANTIATE_TEST_SUITE_P(Types, EventTypeTest,
                         ::testing::Values(EventCase{"Notification", NotificationEvent, 3, 1},
                                           EventCase{"Synchronization", SynchronizationEvent, 1, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SchedulerTest, SynchronizationEventSetWithoutWaitersReleasesExactlyOneLaterWait)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));  // does not count up
    EXPECT_EQ(STATUS_SUCCESS, Wait(&event, &zero));
    EXPECT_EQ(STATUS_TIMEOUT, Wait(&event, &zero));

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, Wait(&event, &zero));
    EXPECT_EQ(STATUS_SUCCESS, Wait(&event, &zero));
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(STATUS_TIMEOUT, Wait(&event, &zero));
}

// ---------------------------------------------------------------------------
// Work items

struct WorkRecord {
    bool ran = false;
    KIRQL irql = HIGH_LEVEL;
    std::string thread;
    KEVENT done;
};

VOID RecordWork(PVOID parameter)
{
    auto *record = static_cast<WorkRecord *>(parameter);
    record->ran = true;
    record->irql = KeGetCurrentIrql();
    record->thread = plat::CurrentThread()->name;
    KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(SchedulerTest, WorkItemQueuedAtDispatchLevelRunsAtPassiveLevelInAWorkerThread)
{
    WorkRecord record;
    KeInitializeEvent(&record.done, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, RecordWork, &record);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    KeLowerIrql(old);

    ASSERT_EQ(STATUS_SUCCESS, Wait(&record.done));
    EXPECT_EQ(PASSIVE_LEVEL, record.irql);
    EXPECT_EQ(0u, record.thread.rfind("system worker", 0)) << record.thread;
}

TEST_F(SchedulerTest, WorkItemsRunInTheOrderQueued)
{
    // With one worker the order is the queue's; with more, the workers'
    // interleaving decides which item finishes first.
    options.workerThreads = 1;
    Restart();
    std::vector<int> order;
    KSEMAPHORE done;
    KeInitializeSemaphore(&done, 0, 4);
    struct Item {
        WORK_QUEUE_ITEM item;
        std::vector<int> *order;
        PKSEMAPHORE done;
        int number;
    };
    Item items[4];
    for (int i = 0; i < 4; ++i) {
        items[i].order = &order;
        items[i].done = &done;
        items[i].number = i;
        ExInitializeWorkItem(&items[i].item, [](PVOID p) {
            auto *it = static_cast<Item *>(p);
            it->order->push_back(it->number);
            KeReleaseSemaphore(it->done, IO_NO_INCREMENT, 1, FALSE);
        }, &items[i]);
        ExQueueWorkItem(&items[i].item, DelayedWorkQueue);
    }
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(STATUS_SUCCESS, Wait(&done));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), order);
}

}  // namespace
