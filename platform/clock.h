// platform/clock.h
// The wall clock, local time and the millisecond tick count; tests can fix or shift the clock.
#pragma once
#include <cstdint>
#include <ctime>

namespace vlzt::platform {

// Calendar time now (seconds since 1970, UTC), as fixed or shifted by the setters below.
int64_t CurrentTime();

// The local time of calendar time `t`.
std::tm LocalTime(int64_t t);

// The calendar time of the local time `local` (its weekday and day of year are ignored).
int64_t CalendarTime(const std::tm& local);

// Tests: the clock stands at `t` / runs `seconds` ahead of real time (negative: behind).
void SetClockFixed(int64_t t);
void SetClockOffset(int64_t seconds);
// Back to real time.
void ResetClock();

}  // namespace vlzt::platform
