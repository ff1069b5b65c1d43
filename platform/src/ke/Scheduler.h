// Scheduler of the simulated machine.
//
// Every simulated thread is a host thread, but exactly one of them runs at a
// time. The turn changes hands at blocking points (a wait, a spin on a held
// lock, a yield, a thread's end) and, when preemption is on, at every
// synchronisation point: spin-lock acquire and release, interlocked
// operations, IRQL raise and lower, event and semaphore signals,
// IoCallDriver, IoCompleteRequest, DPC and timer queueing. A thread switched
// away from at a synchronisation point stands for the work of another
// processor going on meanwhile, so code between two such points is all that
// runs atomically, as on a multiprocessor.
//
// Which thread runs is decided as a probabilistic concurrency tester does it:
// every thread gets a random priority, the highest-priority runnable thread
// runs, and at a few random step numbers (the change points, depth - 1 of
// them, drawn from a run's seed) the running thread drops below every other.
// A race that needs d ordering constraints is found with a known probability
// per seed, and the same seed gives the same interleaving.
//
// When no thread can run, the thread that is giving up the turn runs the
// idle loop on its own stack, with preemption off: queued DPCs of the
// processor-less machine first, then the virtual clock jumps to the next due
// time (a timer or a wait timeout). When nothing is due either, every blocked
// thread is reported as a deadlock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

namespace plat {

// Who a thread acts for; checked against security descriptors on open.
enum class CallerIdentity { System, Administrator, User };

struct SimThread {
    enum class State { Runnable, Running, Blocked, Finished };

    int id = 0;
    std::string name;
    State state = State::Runnable;
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegion = 0;
    CallerIdentity identity = CallerIdentity::System;
    // A service thread that waits for work: not reported in a deadlock unless
    // some other thread is stuck too.
    bool idleWaiter = false;

    // Scheduling: the highest priority among runnable threads runs; a thread
    // that yielded runs only when no other can.
    uint64_t priority = 0;
    bool yielded = false;

    // Wait state, valid while Blocked.
    void *waitObject = nullptr;
    std::string waitDescription;
    bool hasDeadline = false;
    LONGLONG deadline = 0;
    uint64_t waitSequence = 0;
    NTSTATUS waitStatus = STATUS_SUCCESS;

    std::vector<PKSPIN_LOCK> heldSpinLocks;
    // DPCs queued on this thread's processor while it ran at DISPATCH_LEVEL;
    // they run when it lowers its IRQL again.
    LIST_ENTRY localDpcs;
    bool runningDpcs = false;

    std::function<void()> body;
    std::thread host;
    std::condition_variable turn;
};

struct SchedulePolicy {
    // Switch at synchronisation points; off, the turn changes only at
    // blocking points.
    bool preemption = true;
    // Depth of the races aimed at: depth - 1 priority change points a run.
    int depth = 3;
};

class Scheduler {
public:
    static Scheduler &Get();

    // A new machine: the calling host thread becomes its first simulated
    // thread. Only valid while no other simulated thread exists.
    void Reset(uint64_t seed, const std::string &mainName, const SchedulePolicy &policy = {});
    SimThread *Current();

    // Starts a simulated thread; it first runs when the scheduler picks it.
    SimThread *CreateThread(const std::string &name, std::function<void()> body);
    // Waits (as a blocking point) until the thread has finished, then
    // releases its host thread.
    void Join(SimThread *thread);

    // The calling thread, whose wait fields are set, gives up the turn until
    // Wake is called for it (or its deadline passes). Returns its waitStatus.
    NTSTATUS Block(SimThread *self);
    // Makes a blocked thread runnable; its Block returns status.
    void Wake(SimThread *thread, NTSTATUS status);
    // A scheduling point that does not block: every other runnable thread
    // goes first.
    void Yield();
    // A synchronisation point: with preemption on, another thread may run
    // here. A no-op in the idle loop and outside simulated threads.
    void SyncPoint();
    // True while the idle loop runs (timer expiry stands for an interrupt).
    bool InIdleLoop() const { return inIdle_ > 0; }

    std::vector<SimThread *> Threads() const { return threads_; }
    std::mt19937_64 &Random() { return random_; }
    uint64_t NextWaitSequence() { return ++waitSequence_; }
    // Synchronisation points passed so far and the change points of this
    // run, for a replay's report.
    uint64_t Steps() const { return steps_; }
    const std::vector<uint64_t> &ChangePoints() const { return changePoints_; }

    // Idle-loop work, provided by the DPC and timer modules. RunDpcs returns
    // true if it ran any DPC; NextDueTime gives the earliest timer due time
    // (false when no timer is armed); ExpireTimers fires what is due.
    std::function<bool()> runDpcs;
    std::function<bool(LONGLONG *due)> nextTimerDue;
    std::function<void(LONGLONG now)> expireTimers;

    // Deadlock report; the default aborts after printing it.
    std::function<void(const std::string &report)> onDeadlock;
    std::string DescribeThreads() const;

private:
    void Reschedule(SimThread *self);
    SimThread *PickNext() const;
    bool RunIdleStep();
    void HostThreadMain(SimThread *thread);
    uint64_t InitialPriority();

    std::vector<SimThread *> threads_;
    std::mt19937_64 random_;
    SchedulePolicy policy_;
    uint64_t waitSequence_ = 0;
    uint64_t steps_ = 0;
    std::vector<uint64_t> changePoints_;
    size_t nextChange_ = 0;
    // Set when a thread became runnable or changed priority: the next
    // synchronisation point looks whether it should run instead.
    bool mayPreempt_ = false;
    int inIdle_ = 0;
    int nextId_ = 1;
};

// Shorthands used all over the platform.
inline SimThread *CurrentThread() { return Scheduler::Get().Current(); }

}  // namespace plat
