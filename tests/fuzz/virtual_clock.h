// A virtual CLOCK_MONOTONIC for the fuzz targets that drive code with
// deadlines: while it is on, clock_gettime(CLOCK_MONOTONIC) answers the
// target's own time, so 3 s windows and poll time-outs cost no real time and
// every run is the same. Off, and for every other clock, the kernel answers
// (libFuzzer times its runs with the same call).
#pragma once

#include <time.h>

#include <cstdint>

#include "common/monotonic_time.h"

// The virtual time in nanoseconds; only the target moves it.
extern int64_t virtual_now_ns;
// Whether clock_gettime answers it: on only while the code under test runs.
extern bool virtual_clock_on;

inline timespec VirtualNow() { return NanosecondsToTimespec(virtual_now_ns); }

inline int64_t ToNanoseconds(const timespec& t) { return TimespecNanoseconds(t); }
