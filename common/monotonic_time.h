// Time on CLOCK_MONOTONIC, the one clock of the guard, its alarm children
// and its clients for every deadline and duration: unaffected by changes of
// the wall clock. The one place its arithmetic is written.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <climits>
#include <cstdint>

inline constexpr long kNanosecondsPerSecond = 1000000000;
inline constexpr long kNanosecondsPerMillisecond = 1000000;
inline constexpr long kNanosecondsPerMicrosecond = 1000;
inline constexpr long long kMicrosecondsPerSecond = 1000000;
inline constexpr long long kMicrosecondsPerMillisecond = 1000;
inline constexpr long long kMillisecondsPerSecond = 1000;

inline timespec MonotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// A duration as a timespec (for nanosleep and timers); negative counts as 0.
inline timespec MicrosecondsToTimespec(long long microseconds) {
  if (microseconds < 0) microseconds = 0;
  timespec t{};
  t.tv_sec = static_cast<time_t>(microseconds / kMicrosecondsPerSecond);
  t.tv_nsec = static_cast<long>(microseconds % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
  return t;
}

// The same for nanoseconds, and a point on the clock as nanoseconds since
// its zero.
inline timespec NanosecondsToTimespec(long long nanoseconds) {
  if (nanoseconds < 0) nanoseconds = 0;
  return {static_cast<time_t>(nanoseconds / kNanosecondsPerSecond),
          static_cast<long>(nanoseconds % kNanosecondsPerSecond)};
}

inline long long TimespecNanoseconds(timespec t) {
  return static_cast<long long>(t.tv_sec) * kNanosecondsPerSecond + t.tv_nsec;
}

inline timespec AddMicroseconds(timespec t, long long microseconds) {
  const long long nanoseconds =
      t.tv_nsec + (microseconds % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
  t.tv_sec += static_cast<time_t>(microseconds / kMicrosecondsPerSecond + nanoseconds / kNanosecondsPerSecond);
  t.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
  return t;
}

inline bool IsBefore(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// end minus start, nanoseconds kept within 0..999999999 by borrowing a
// second, so tv_sec alone counts the whole seconds between them.
inline timespec TimespecDiff(timespec start, timespec end) {
  timespec diff{};
  diff.tv_sec = end.tv_sec - start.tv_sec;
  diff.tv_nsec = end.tv_nsec - start.tv_nsec;
  if (diff.tv_nsec < 0) {
    diff.tv_sec -= 1;
    diff.tv_nsec += kNanosecondsPerSecond;
  }
  return diff;
}

// A point on the clock as whole microseconds since its zero.
inline long long TimespecMicroseconds(timespec t) {
  return static_cast<long long>(t.tv_sec) * kMicrosecondsPerSecond + t.tv_nsec / kNanosecondsPerMicrosecond;
}

// Whole microseconds from start to end, rounded toward start.
inline long long MicrosecondsBetween(timespec start, timespec end) {
  const timespec diff = TimespecDiff(start, end);
  return static_cast<long long>(diff.tv_sec) * kMicrosecondsPerSecond +
         diff.tv_nsec / kNanosecondsPerMicrosecond;
}

// Whole milliseconds from start to end, rounded toward start.
inline long long MillisecondsBetween(timespec start, timespec end) {
  return MicrosecondsBetween(start, end) / kMicrosecondsPerMillisecond;
}

// A wait of this many microseconds as poll's milliseconds: rounded up, so
// poll never wakes just short of it, and at most INT_MAX.
inline int PollMilliseconds(long long microseconds) {
  const long long milliseconds = (microseconds + kMicrosecondsPerMillisecond - 1) / kMicrosecondsPerMillisecond;
  return milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}

// Milliseconds on the clock, for clients' poll deadlines.
inline int64_t MonotonicMilliseconds() {
  const timespec now = MonotonicNow();
  return static_cast<int64_t>(now.tv_sec) * kMillisecondsPerSecond + now.tv_nsec / kNanosecondsPerMillisecond;
}

// Seconds on the clock as one number, for printed time stamps.
inline double MonotonicSeconds() {
  const timespec now = MonotonicNow();
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / kNanosecondsPerSecond;
}

// What is left at now until deadline, for select: rounded up to the
// microsecond, so select never wakes just short of it; zero once it is past.
inline timeval TimeLeft(const timespec& now, const timespec& deadline) {
  if (!IsBefore(now, deadline)) return {0, 0};
  const timespec left = TimespecDiff(now, deadline);
  time_t seconds = left.tv_sec;
  long microseconds = (left.tv_nsec + kNanosecondsPerMicrosecond - 1) / kNanosecondsPerMicrosecond;
  if (microseconds == kMicrosecondsPerSecond) {
    seconds += 1;
    microseconds = 0;
  }
  return {seconds, static_cast<suseconds_t>(microseconds)};
}
