// Turn-based scheduler with seeded priority preemption, idle loop and
// deadlock detection.
#include "ke/Scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "ke/Clock.h"

namespace plat {
namespace {

// Guards the hand-over of the turn; everything else is touched only by the
// thread that holds the turn.
std::mutex &turnMutex()
{
    static std::mutex m;
    return m;
}

thread_local SimThread *tlsCurrent = nullptr;
SimThread *running = nullptr;

const char *StateName(SimThread::State s)
{
    switch (s) {
    case SimThread::State::Runnable:
        return "runnable";
    case SimThread::State::Running:
        return "running";
    case SimThread::State::Blocked:
        return "blocked";
    case SimThread::State::Finished:
        return "finished";
    }
    return "?";
}

// The blocked thread whose wait began last, preferring threads that are not
// idle service threads; null when none is blocked.
SimThread *LatestWaiter(const std::vector<SimThread *> &threads)
{
    SimThread *best = nullptr;
    for (SimThread *t : threads) {
        if (t->state != SimThread::State::Blocked)
            continue;
        if (!best || (best->idleWaiter && !t->idleWaiter) ||
            (best->idleWaiter == t->idleWaiter && t->waitSequence > best->waitSequence))
            best = t;
    }
    return best;
}

// Runs are of very different lengths (two threads racing for a counter pass
// a few dozen contended points, a device life tens of thousands), so the
// range the change points are drawn from is itself drawn, log-uniformly, per
// seed.
constexpr int kShortestHorizonLog2 = 3;
constexpr int kLongestHorizonLog2 = 16;

}  // namespace

Scheduler &Scheduler::Get()
{
    static Scheduler s;
    return s;
}

uint64_t Scheduler::InitialPriority()
{
    // Above every priority a change point gives (1 .. depth - 1).
    return static_cast<uint64_t>(policy_.depth) + (random_() >> 8);
}

void Scheduler::Reset(uint64_t seed, const std::string &mainName, const SchedulePolicy &policy)
{
    for (SimThread *t : threads_) {
        if (t->host.joinable())
            t->host.join();
        if (t != tlsCurrent)
            delete t;
    }
    delete tlsCurrent;
    threads_.clear();
    random_.seed(seed);
    policy_ = policy;
    if (policy_.depth < 1)
        policy_.depth = 1;
    waitSequence_ = 0;
    steps_ = 0;
    nextChange_ = 0;
    mayPreempt_ = false;
    inIdle_ = 0;
    nextId_ = 1;
    changePoints_.clear();
    if (policy_.preemption) {
        int log2 = kShortestHorizonLog2 +
                   static_cast<int>(random_() % (kLongestHorizonLog2 - kShortestHorizonLog2 + 1));
        uint64_t horizon = uint64_t{1} << log2;
        for (int i = 1; i < policy_.depth; ++i)
            changePoints_.push_back(1 + random_() % horizon);
        std::sort(changePoints_.begin(), changePoints_.end());
    }
    auto *main = new SimThread;
    main->id = nextId_++;
    main->name = mainName;
    main->priority = InitialPriority();
    InitializeListHead(&main->localDpcs);
    main->state = SimThread::State::Running;
    threads_.push_back(main);
    tlsCurrent = main;
    running = main;
}

SimThread *Scheduler::Current() { return tlsCurrent; }

SimThread *Scheduler::CreateThread(const std::string &name, std::function<void()> body)
{
    auto *t = new SimThread;
    t->id = nextId_++;
    t->name = name;
    t->state = SimThread::State::Runnable;
    t->priority = InitialPriority();
    InitializeListHead(&t->localDpcs);
    t->body = std::move(body);
    threads_.push_back(t);
    mayPreempt_ = true;
    t->host = std::thread([this, t] { HostThreadMain(t); });
    return t;
}

void Scheduler::HostThreadMain(SimThread *self)
{
    tlsCurrent = self;
    {
        std::unique_lock<std::mutex> lock(turnMutex());
        self->turn.wait(lock, [self] { return running == self; });
    }
    self->body();
    self->state = SimThread::State::Finished;
    // Wake joiners.
    for (SimThread *t : threads_)
        if (t->state == SimThread::State::Blocked && t->waitObject == self)
            Wake(t, STATUS_SUCCESS);
    Reschedule(self);
}

void Scheduler::Join(SimThread *thread)
{
    SimThread *self = Current();
    while (thread->state != SimThread::State::Finished) {
        self->waitObject = thread;
        self->waitDescription = "thread '" + thread->name + "' to end";
        self->hasDeadline = false;
        Block(self);
    }
    if (thread->host.joinable())
        thread->host.join();
    for (auto it = threads_.begin(); it != threads_.end(); ++it)
        if (*it == thread) {
            threads_.erase(it);
            break;
        }
    delete thread;
}

NTSTATUS Scheduler::Block(SimThread *self)
{
    self->state = SimThread::State::Blocked;
    self->waitSequence = NextWaitSequence();
    Reschedule(self);
    self->waitObject = nullptr;
    self->hasDeadline = false;
    return self->waitStatus;
}

void Scheduler::Wake(SimThread *thread, NTSTATUS status)
{
    if (thread->state != SimThread::State::Blocked)
        return;
    thread->waitStatus = status;
    thread->state = SimThread::State::Runnable;
    mayPreempt_ = true;
}

void Scheduler::Yield()
{
    SimThread *self = Current();
    self->state = SimThread::State::Runnable;
    self->yielded = true;
    Reschedule(self);
}

void Scheduler::SyncPoint()
{
    SimThread *self = Current();
    if (!policy_.preemption || inIdle_ || !self || self->state != SimThread::State::Running)
        return;
    // Only points where another thread could run count as steps: the long
    // stretches where one thread runs alone (boot, say) would otherwise
    // swallow the change points.
    bool contended = false;
    for (SimThread *t : threads_)
        contended = contended || t->state == SimThread::State::Runnable;
    if (!contended)
        return;
    ++steps_;
    if (nextChange_ < changePoints_.size() && steps_ >= changePoints_[nextChange_]) {
        // The i-th change point drops the running thread to depth - i, below
        // every initial priority and every earlier change.
        ++nextChange_;
        self->priority = static_cast<uint64_t>(policy_.depth) - nextChange_;
        mayPreempt_ = true;
    }
    if (!mayPreempt_)
        return;
    mayPreempt_ = false;
    self->state = SimThread::State::Runnable;
    if (PickNext() == self) {
        self->state = SimThread::State::Running;
        return;
    }
    Reschedule(self);
}

// The highest-priority runnable thread that has not just yielded, else the
// highest-priority one that has; ties go to the older thread.
SimThread *Scheduler::PickNext() const
{
    SimThread *best = nullptr;
    for (SimThread *t : threads_) {
        if (t->state != SimThread::State::Runnable)
            continue;
        if (!best || (best->yielded && !t->yielded) ||
            (best->yielded == t->yielded && t->priority > best->priority))
            best = t;
    }
    return best;
}

bool Scheduler::RunIdleStep()
{
    // The idle loop runs on the stack of a thread that is giving up the
    // turn; nothing in it may switch.
    struct IdleScope {
        int &depth;
        explicit IdleScope(int &d) : depth(d) { ++depth; }
        ~IdleScope() { --depth; }
    } scope(inIdle_);
    if (runDpcs && runDpcs())
        return true;
    LONGLONG due = 0;
    bool haveDue = nextTimerDue && nextTimerDue(&due);
    for (SimThread *t : threads_)
        if (t->state == SimThread::State::Blocked && t->hasDeadline && (!haveDue || t->deadline < due)) {
            due = t->deadline;
            haveDue = true;
        }
    if (!haveDue)
        return false;
    if (due > SystemTimeNow())
        SetSystemTime(due);
    LONGLONG now = SystemTimeNow();
    for (SimThread *t : threads_)
        if (t->state == SimThread::State::Blocked && t->hasDeadline && t->deadline <= now)
            Wake(t, STATUS_TIMEOUT);
    if (expireTimers)
        expireTimers(now);
    return true;
}

void Scheduler::Reschedule(SimThread *self)
{
    SimThread *next = nullptr;
    for (;;) {
        next = PickNext();
        if (next)
            break;
        if (RunIdleStep())
            continue;
        std::string report = "deadlock: no simulated thread can run and nothing is due\n" +
                             DescribeThreads();
        if (onDeadlock) {
            onDeadlock(report);
        } else {
            std::fprintf(stderr, "%s", report.c_str());
            std::fflush(stderr);
            std::abort();
        }
        // A handler that returns wants the stuck thread released: the one
        // whose wait completed the deadlock. That is the thread giving up the
        // turn unless it has just ended or is an idle worker, which would
        // only wait again and repeat the same report for ever.
        SimThread *stuck = LatestWaiter(threads_);
        if (stuck)
            Wake(stuck, STATUS_UNSUCCESSFUL);
    }

    next->state = SimThread::State::Running;
    next->yielded = false;
    if (next == self)
        return;
    std::unique_lock<std::mutex> lock(turnMutex());
    running = next;
    next->turn.notify_one();
    if (self->state == SimThread::State::Finished)
        return;  // the host thread ends after this
    self->turn.wait(lock, [self] { return running == self; });
}

std::string Scheduler::DescribeThreads() const
{
    std::ostringstream out;
    for (SimThread *t : threads_) {
        out << "  thread " << t->id << " '" << t->name << "': " << StateName(t->state);
        if (t->state == SimThread::State::Blocked)
            out << ", waiting for " << t->waitDescription;
        out << "\n";
    }
    return out.str();
}

}  // namespace plat

extern "C" VOID PlatSyncPoint(void) { plat::Scheduler::Get().SyncPoint(); }
