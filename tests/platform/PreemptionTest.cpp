// Preemption at synchronisation points: seeded interleavings that find races
// of small depth and replay by seed, DPCs of the second processor running
// between a passive thread's steps and spinning on held locks, and lock-order
// cycles reported as deadlocks.
#include "support/TestMachine.h"

#include <set>

#include "ke/Scheduler.h"

namespace {

class PreemptionTest : public test::MachineTest {
protected:
    void BootWith(uint64_t seed, bool preemption = true)
    {
        options.seed = seed;
        options.schedule.preemption = preemption;
        Restart();
    }
    void JoinAll(const std::vector<plat::SimThread *> &threads)
    {
        for (plat::SimThread *t : threads)
            plat::Scheduler::Get().Join(t);
    }
};

// Two threads increment a counter with a read and a write that an interlocked
// operation separates: the lost update is a race of depth two.
int LostUpdates(PreemptionTest *test)
{
    int counter = 0;
    LONG unrelated = 0;
    std::vector<plat::SimThread *> threads;
    for (const char *name : {"A", "B"})
        threads.push_back(plat::Scheduler::Get().CreateThread(name, [&] {
            for (int i = 0; i < 20; ++i) {
                int seen = counter;
                InterlockedIncrement(&unrelated);
                counter = seen + 1;
            }
        }));
    for (plat::SimThread *t : threads)
        plat::Scheduler::Get().Join(t);
    return 40 - counter;
}

TEST_F(PreemptionTest, ASmallRaceIsFoundBySomeSeedsMissedByOthersAndReplaysBySeed)
{
    std::set<int> outcomes;
    int racy = 0;
    for (uint64_t seed = 1; seed <= 64; ++seed) {
        BootWith(seed);
        int lost = LostUpdates(this);
        BootWith(seed);
        EXPECT_EQ(lost, LostUpdates(this)) << "seed " << seed << " did not replay";
        outcomes.insert(lost);
        racy += lost > 0;
    }
    EXPECT_GT(racy, 0) << "no seed interleaved the two threads between read and write";
    EXPECT_LT(racy, 64) << "every seed found the race: the schedule is not exploring";
    EXPECT_GT(outcomes.size(), 2u);
}

TEST_F(PreemptionTest, WithoutPreemptionThreadsSwitchOnlyWhereTheyBlock)
{
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        BootWith(seed, false);
        EXPECT_EQ(0, LostUpdates(this)) << "seed " << seed;
    }
}

// A timer DPC takes a lock and signals a passive thread, which wants the same
// lock: whenever the thread runs before the DPC lets go, it spins.
struct SpinScene {
    KSPIN_LOCK lock = 0;
    KEVENT go;
    KTIMER timer;
    KDPC dpc;
    bool dpcHolds = false;
    bool waiterSpunWhileHeld = false;
    bool waiterTookItWhileHeld = false;
    std::string dpcThread;
    plat::SimThread *waiter = nullptr;
};

VOID SpinSceneDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *scene = static_cast<SpinScene *>(context);
    scene->dpcThread = plat::CurrentThread()->name;
    KeAcquireSpinLockAtDpcLevel(&scene->lock);
    scene->dpcHolds = true;
    KeSetEvent(&scene->go, IO_NO_INCREMENT, FALSE);
    LONG busy = 0;
    for (int i = 0; i < 8; ++i)
        InterlockedIncrement(&busy);
    scene->waiterSpunWhileHeld = scene->waiter->state == plat::SimThread::State::Blocked &&
                                 scene->waiter->waitObject == &scene->lock;
    scene->dpcHolds = false;
    KeReleaseSpinLockFromDpcLevel(&scene->lock);
}

TEST_F(PreemptionTest, ATimerDpcRunsOnTheSecondProcessorAndAPassiveThreadSpinsOnItsLock)
{
    int spun = 0;
    for (uint64_t seed = 1; seed <= 32; ++seed) {
        BootWith(seed);
        SpinScene scene;
        KeInitializeSpinLock(&scene.lock);
        KeInitializeEvent(&scene.go, NotificationEvent, FALSE);
        KeInitializeTimerEx(&scene.timer, NotificationTimer);
        KeInitializeDpc(&scene.dpc, SpinSceneDpc, &scene);
        scene.waiter = plat::Scheduler::Get().CreateThread("waiter", [&scene] {
            KeWaitForSingleObject(&scene.go, Executive, KernelMode, FALSE, nullptr);
            KIRQL old;
            KeAcquireSpinLock(&scene.lock, &old);
            scene.waiterTookItWhileHeld = scene.dpcHolds;
            KeReleaseSpinLock(&scene.lock, old);
        });
        LARGE_INTEGER due;
        due.QuadPart = -10000;  // 1 ms
        KeSetTimer(&scene.timer, due, &scene.dpc);
        plat::Scheduler::Get().Join(scene.waiter);
        EXPECT_EQ("processor 1", scene.dpcThread) << "seed " << seed;
        EXPECT_FALSE(scene.waiterTookItWhileHeld) << "seed " << seed;
        spun += scene.waiterSpunWhileHeld;
    }
    EXPECT_GT(spun, 0) << "the woken thread never ran while the DPC held the lock";
}

// A timer DPC on the second processor wakes the passive thread and goes on
// working; the woken thread may run first. KeFlushQueuedDpcs returns only
// once that DPC has ended, which is what lets a device free what it uses.
struct FlushScene {
    KEVENT woken;
    KTIMER timer;
    KDPC dpc;
    bool ended = false;
};

VOID FlushSceneDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *scene = static_cast<FlushScene *>(context);
    KeSetEvent(&scene->woken, IO_NO_INCREMENT, FALSE);
    LONG busy = 0;
    for (int i = 0; i < 8; ++i)
        InterlockedIncrement(&busy);
    scene->ended = true;
}

TEST_F(PreemptionTest, KeFlushQueuedDpcsReturnsOnlyOnceADpcRunningElsewhereHasEnded)
{
    int overtaken = 0;
    for (uint64_t seed = 1; seed <= 32; ++seed) {
        BootWith(seed);
        FlushScene scene;
        KeInitializeEvent(&scene.woken, NotificationEvent, FALSE);
        KeInitializeTimerEx(&scene.timer, NotificationTimer);
        KeInitializeDpc(&scene.dpc, FlushSceneDpc, &scene);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimer(&scene.timer, due, &scene.dpc);
        KeWaitForSingleObject(&scene.woken, Executive, KernelMode, FALSE, nullptr);
        overtaken += !scene.ended;
        KeFlushQueuedDpcs();
        EXPECT_TRUE(scene.ended) << "seed " << seed;
    }
    EXPECT_GT(overtaken, 0) << "the woken thread never ran while the DPC was still running";
}

TEST_F(PreemptionTest, TwoLocksTakenInOppositeOrdersDeadlockInSomeInterleavingAndTheReportNamesBoth)
{
    std::vector<std::string> reports;
    for (uint64_t seed = 1; seed <= 32 && reports.empty(); ++seed) {
        BootWith(seed);
        plat::Scheduler::Get().onDeadlock = [&](const std::string &report) { reports.push_back(report); };
        KSPIN_LOCK first = 0, second = 0;
        auto taker = [&](PKSPIN_LOCK a, PKSPIN_LOCK b) {
            return [a, b] {
                KIRQL old;
                KeAcquireSpinLock(a, &old);
                KeAcquireSpinLockAtDpcLevel(b);
                KeReleaseSpinLockFromDpcLevel(b);
                KeReleaseSpinLock(a, old);
            };
        };
        JoinAll({plat::Scheduler::Get().CreateThread("forward", taker(&first, &second)),
                 plat::Scheduler::Get().CreateThread("backward", taker(&second, &first))});
    }
    ASSERT_FALSE(reports.empty()) << "no seed interleaved the two acquisitions";
    EXPECT_NE(std::string::npos, reports[0].find("spinning; held by thread 'forward'")) << reports[0];
    EXPECT_NE(std::string::npos, reports[0].find("spinning; held by thread 'backward'")) << reports[0];
}

TEST_F(PreemptionTest, ADpcQueuedAtDispatchLevelStaysOnItsProcessorWhateverTheInterleaving)
{
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        BootWith(seed);
        struct Record {
            int runs = 0;
            std::string thread;
        } record;
        KDPC dpc;
        KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            auto *r = static_cast<Record *>(context);
            ++r->runs;
            r->thread = plat::CurrentThread()->name;
        }, &record);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        LONG busy = 0;
        for (int i = 0; i < 16; ++i)
            InterlockedIncrement(&busy);  // other threads may run meanwhile
        EXPECT_EQ(0, record.runs) << "seed " << seed;
        KeLowerIrql(old);
        EXPECT_EQ(1, record.runs) << "seed " << seed;
        EXPECT_EQ("main", record.thread) << "seed " << seed;
    }
}

}  // namespace
