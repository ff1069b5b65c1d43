// Turn-based scheduler, idle loop and deadlock detection.
#include "ke/Scheduler.h"

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

}  // namespace

Scheduler &Scheduler::Get()
{
    static Scheduler s;
    return s;
}

void Scheduler::Reset(uint64_t seed, const std::string &mainName)
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
    waitSequence_ = 0;
    nextId_ = 1;
    auto *main = new SimThread;
    main->id = nextId_++;
    main->name = mainName;
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
    t->body = std::move(body);
    threads_.push_back(t);
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
}

void Scheduler::Yield()
{
    SimThread *self = Current();
    self->state = SimThread::State::Runnable;
    Reschedule(self);
}

bool Scheduler::RunIdleStep()
{
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
        std::vector<SimThread *> runnable;
        for (SimThread *t : threads_)
            if (t->state == SimThread::State::Runnable)
                runnable.push_back(t);
        if (!runnable.empty()) {
            next = runnable[runnable.size() == 1 ? 0 : random_() % runnable.size()];
            break;
        }
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
