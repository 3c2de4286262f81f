// A virtual CLOCK_MONOTONIC for the fuzz targets that drive code with
// deadlines: while it is on, clock_gettime(CLOCK_MONOTONIC) answers the
// target's own time, so 3 s windows and poll time-outs cost no real time and
// every run is the same. Off, and for every other clock, the kernel answers
// (libFuzzer times its runs with the same call).
#pragma once

#include <time.h>

#include <cstdint>

// The virtual time in nanoseconds; only the target moves it.
extern int64_t virtual_now_ns;
// Whether clock_gettime answers it: on only while the code under test runs.
extern bool virtual_clock_on;

inline timespec VirtualNow() {
  return {static_cast<time_t>(virtual_now_ns / 1000000000),
          static_cast<long>(virtual_now_ns % 1000000000)};
}

inline int64_t ToNanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
