// Scheduler of the simulated machine.
//
// Every simulated thread is a host thread, but exactly one of them runs at a
// time: a thread gives the turn away only at a blocking point (a wait, a
// yield, its end), and the scheduler then picks the next runnable thread with
// the machine's seeded generator. When no thread can run, the thread that is
// giving up the turn runs the idle loop on its own stack: queued DPCs at
// DISPATCH_LEVEL first, then the virtual clock jumps to the next due time
// (a timer or a wait timeout). When nothing is due either, every blocked
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

    // Wait state, valid while Blocked.
    void *waitObject = nullptr;
    std::string waitDescription;
    bool hasDeadline = false;
    LONGLONG deadline = 0;
    uint64_t waitSequence = 0;
    NTSTATUS waitStatus = STATUS_SUCCESS;

    std::vector<PKSPIN_LOCK> heldSpinLocks;
    std::function<void()> body;
    std::thread host;
    std::condition_variable turn;
};

class Scheduler {
public:
    static Scheduler &Get();

    // A new machine: the calling host thread becomes its first simulated
    // thread. Only valid while no other simulated thread exists.
    void Reset(uint64_t seed, const std::string &mainName);
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
    // A scheduling point that does not block.
    void Yield();

    std::vector<SimThread *> Threads() const { return threads_; }
    std::mt19937_64 &Random() { return random_; }
    uint64_t NextWaitSequence() { return ++waitSequence_; }

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
    bool RunIdleStep();
    void HostThreadMain(SimThread *thread);

    std::vector<SimThread *> threads_;
    std::mt19937_64 random_;
    uint64_t waitSequence_ = 0;
    int nextId_ = 1;
};

// Shorthands used all over the platform.
inline SimThread *CurrentThread() { return Scheduler::Get().Current(); }

}  // namespace plat
