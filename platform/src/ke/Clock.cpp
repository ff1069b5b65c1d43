// System time, interrupt time and the clock tick of the simulated machine.
#include "ke/Clock.h"

#include "ke/Scheduler.h"

namespace plat {
namespace {

struct ClockState {
    LONGLONG now = kDefaultBootTime;
    LONGLONG bootTime = kDefaultBootTime;
    LONG bias = 0;
};

ClockState &clock()
{
    static ClockState c;
    return c;
}

}  // namespace

LONGLONG SystemTimeNow() { return clock().now; }

void SetSystemTime(LONGLONG systemTime)
{
    if (clock().now == clock().bootTime && systemTime < clock().bootTime)
        clock().bootTime = systemTime;
    clock().now = systemTime;
}

void ResetClock(LONGLONG bootTime)
{
    clock().now = bootTime;
    clock().bootTime = bootTime;
}

LONG TimeZoneBiasMinutes() { return clock().bias; }
void SetTimeZoneBiasMinutes(LONG bias) { clock().bias = bias; }

}  // namespace plat

extern "C" {

ULONG KeQueryTimeIncrement(void) { return 156250; }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = plat::SystemTimeNow(); }

ULONGLONG KeQueryInterruptTime(void)
{
    return static_cast<ULONGLONG>(plat::SystemTimeNow() - plat::clock().bootTime);
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / KeQueryTimeIncrement());
}

}
