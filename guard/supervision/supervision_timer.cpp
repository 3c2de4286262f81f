#include "guard/supervision/supervision_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

#include "common/log_line.h"
#include "common/monotonic_time.h"

namespace {

struct SupervisionTimer {
  int fd;
  long long period_us;  // 0 while stopped
  bool ticked;
};

SupervisionTimer timer = {-1, 0, false};

}  // namespace

void StartSupervisionTimer() {
  if (timer.fd >= 0) close(timer.fd);
  timer = {-1, 0, false};
  timer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer.fd < 0) LogCallFailure("timerfd_create()");
}

void SetSupervisionTimer(long long period_us) {
  if (period_us == timer.period_us || timer.fd < 0) return;
  itimerspec ticks = {};
  ticks.it_interval = MicrosecondsToTimespec(period_us);
  ticks.it_value = ticks.it_interval;
  timerfd_settime(timer.fd, 0, &ticks, nullptr);
  timer.period_us = period_us;
}

int SupervisionTimerFd() { return timer.period_us > 0 ? timer.fd : -1; }

void ServeSupervisionTimer() {
  uint64_t ticks;
  const ssize_t taken = read(timer.fd, &ticks, sizeof ticks);
  static_cast<void>(taken);
  timer.ticked = true;
}

bool TakeSupervisionTick() {
  const bool ticked = timer.ticked;
  timer.ticked = false;
  return ticked;
}
