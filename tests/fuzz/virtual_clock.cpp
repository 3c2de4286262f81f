#include "tests/fuzz/virtual_clock.h"

#include <sys/syscall.h>
#include <unistd.h>

int64_t virtual_now_ns = 0;
bool virtual_clock_on = false;

// Replaces the C library's (and the sanitizers' interceptor, which is weak)
// for the whole program.
extern "C" int clock_gettime(clockid_t clock, timespec* now) {
  if (virtual_clock_on && clock == CLOCK_MONOTONIC) {
    *now = VirtualNow();
    return 0;
  }
  return static_cast<int>(syscall(SYS_clock_gettime, clock, now));
}
