// Virtual clock of the simulated machine. Time is in 100-ns units since
// 1 January 1601 (UTC), as the kernel's system time; it advances only when no
// simulated thread can run, straight to the next due time.
#pragma once

#include <wdm.h>

namespace plat {

LONGLONG SystemTimeNow();
void SetSystemTime(LONGLONG systemTime);
// A new machine: the clock starts at bootTime.
void ResetClock(LONGLONG bootTime);
constexpr LONGLONG kTicksPerMillisecond = 10000;
// 9 December 2026 10:00:00 UTC: every machine boots at this time unless told
// otherwise, so that runs repeat.
constexpr LONGLONG kDefaultBootTime = 134412840000000000LL;
// Minutes to add to local time to get UTC (the platform's Bias convention).
LONG TimeZoneBiasMinutes();
void SetTimeZoneBiasMinutes(LONG bias);

}  // namespace plat
