// System time and local time, and the calendar split of a time value into
// TIME_FIELDS and back. Times are 100-ns units since 1 January 1601.
// Any IRQL: nothing here takes a lock or touches pageable data.
#include <wdm.h>

#include "ke/Clock.h"

namespace {

constexpr LONGLONG TicksPerMillisecond = 10'000;
constexpr LONGLONG TicksPerSecond = 1000 * TicksPerMillisecond;
constexpr LONGLONG TicksPerMinute = 60 * TicksPerSecond;
constexpr LONGLONG TicksPerDay = 24 * 60 * TicksPerMinute;

// 1601 opens a 400-year Gregorian cycle, so day 0 starts every cycle and the
// leap rules apply without an offset.
constexpr LONGLONG DaysPer400Years = 146'097;
constexpr LONGLONG DaysPer100Years = 36'524;
constexpr LONGLONG DaysPer4Years = 1'461;
constexpr LONGLONG DaysPerYear = 365;

constexpr CSHORT FirstYear = 1601;
constexpr CSHORT Monday = 1;  // weekday of 1 January 1601; 0 is Sunday

constexpr CSHORT DaysInMonth[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},  // common year
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},  // leap year
};

bool IsLeapYear(LONGLONG year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days from 1 January 1601 to 1 January of the given year (>= 1601).
LONGLONG DaysBeforeYear(LONGLONG year)
{
    LONGLONG y = year - FirstYear;
    return y * DaysPerYear + y / 4 - y / 100 + y / 400;
}

LONGLONG BiasTicks() { return static_cast<LONGLONG>(plat::TimeZoneBiasMinutes()) * TicksPerMinute; }

}  // namespace

extern "C" {

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    LocalTime->QuadPart = SystemTime->QuadPart - BiasTicks();
}

VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime)
{
    SystemTime->QuadPart = LocalTime->QuadPart + BiasTicks();
}

// A negative time lies before the epoch and has no fields; it is split as 0.
VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    LONGLONG ticks = Time->QuadPart > 0 ? Time->QuadPart : 0;
    LONGLONG days = ticks / TicksPerDay;
    LONGLONG ticksOfDay = ticks % TicksPerDay;

    TimeFields->Weekday = static_cast<CSHORT>((days + Monday) % 7);
    TimeFields->Milliseconds = static_cast<CSHORT>(ticksOfDay / TicksPerMillisecond % 1000);
    TimeFields->Second = static_cast<CSHORT>(ticksOfDay / TicksPerSecond % 60);
    TimeFields->Minute = static_cast<CSHORT>(ticksOfDay / TicksPerMinute % 60);
    TimeFields->Hour = static_cast<CSHORT>(ticksOfDay / (60 * TicksPerMinute));

    LONGLONG cycles = days / DaysPer400Years;
    days %= DaysPer400Years;
    // The last day of a 400-year cycle is the extra leap day of its fourth
    // century, and the last day of a 4-year block that of its fourth year:
    // cap the quotients so those days stay in the last century and year.
    LONGLONG centuries = days / DaysPer100Years;
    if (centuries == 4)
        centuries = 3;
    days -= centuries * DaysPer100Years;
    LONGLONG quads = days / DaysPer4Years;
    days -= quads * DaysPer4Years;
    LONGLONG years = days / DaysPerYear;
    if (years == 4)
        years = 3;
    days -= years * DaysPerYear;

    LONGLONG year = FirstYear + cycles * 400 + centuries * 100 + quads * 4 + years;
    const CSHORT *monthLengths = DaysInMonth[IsLeapYear(year)];
    int month = 0;
    while (days >= monthLengths[month]) {
        days -= monthLengths[month];
        ++month;
    }
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month + 1);
    TimeFields->Day = static_cast<CSHORT>(days + 1);
}

// Weekday is ignored. Fields out of range, a year before 1601 or a date past
// the largest time value give FALSE and leave *Time alone.
BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time)
{
    const TIME_FIELDS &f = *TimeFields;
    if (f.Year < FirstYear || f.Month < 1 || f.Month > 12 || f.Day < 1 || f.Hour < 0 ||
        f.Hour > 23 || f.Minute < 0 || f.Minute > 59 || f.Second < 0 || f.Second > 59 ||
        f.Milliseconds < 0 || f.Milliseconds > 999)
        return FALSE;
    const CSHORT *monthLengths = DaysInMonth[IsLeapYear(f.Year)];
    if (f.Day > monthLengths[f.Month - 1])
        return FALSE;

    LONGLONG days = DaysBeforeYear(f.Year);
    for (int month = 0; month < f.Month - 1; ++month)
        days += monthLengths[month];
    days += f.Day - 1;

    LONGLONG ticksOfDay = f.Hour * 60 * TicksPerMinute + f.Minute * TicksPerMinute +
                          f.Second * TicksPerSecond + f.Milliseconds * TicksPerMillisecond;
    LONGLONG ticks;
    if (__builtin_mul_overflow(days, TicksPerDay, &ticks) ||
        __builtin_add_overflow(ticks, ticksOfDay, &ticks))
        return FALSE;
    Time->QuadPart = ticks;
    return TRUE;
}

}  // extern "C"
