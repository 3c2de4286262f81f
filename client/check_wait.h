// The one kind of wait helmwatch-ctl check makes: for a descriptor to turn
// readable, never past a deadline on the monotonic clock.
#pragma once

#include <poll.h>

#include <cerrno>

#include "common/monotonic_time.h"

// 1 when fd is readable, 0 once deadline has passed, -1 when poll fails.
inline int WaitReadable(int fd, const timespec& deadline) {
  for (;;) {
    const timespec now = MonotonicNow();
    if (!IsBefore(now, deadline)) return 0;
    pollfd ready = {fd, POLLIN, 0};
    const int got = poll(&ready, 1, PollMilliseconds(MicrosecondsBetween(now, deadline)));
    if (got > 0) return 1;
    if (got < 0 && errno != EINTR) return -1;
  }
}
