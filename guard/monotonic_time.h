// Time on CLOCK_MONOTONIC, the guard's one clock for deadlines: unaffected by
// changes of the wall clock.
#pragma once

#include <sys/time.h>
#include <time.h>

inline constexpr long kNanosecondsPerSecond = 1000000000;
inline constexpr long kNanosecondsPerMicrosecond = 1000;

inline timespec MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

inline timespec AddMicroseconds(timespec t, long long microseconds) {
  const long long nanoseconds = t.tv_nsec + (microseconds % 1000000) * kNanosecondsPerMicrosecond;
  t.tv_sec += static_cast<time_t>(microseconds / 1000000 + nanoseconds / kNanosecondsPerSecond);
  t.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
  return t;
}

inline bool IsBefore(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// What is left at now until deadline, for select: rounded up to the
// microsecond, so select never wakes just short of it; zero once it is past.
inline timeval TimeLeft(const timespec& now, const timespec& deadline) {
  if (!IsBefore(now, deadline)) return {0, 0};
  time_t seconds = deadline.tv_sec - now.tv_sec;
  long nanoseconds = deadline.tv_nsec - now.tv_nsec;
  if (nanoseconds < 0) {
    seconds -= 1;
    nanoseconds += kNanosecondsPerSecond;
  }
  long microseconds = (nanoseconds + kNanosecondsPerMicrosecond - 1) / kNanosecondsPerMicrosecond;
  if (microseconds == 1000000) {
    seconds += 1;
    microseconds = 0;
  }
  return {seconds, static_cast<suseconds_t>(microseconds)};
}
