#include "guard/key_input.h"

#include <linux/input.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Key codes of the guarded autopilot key; the keypad reports it under either.
constexpr unsigned kGuardedKeyCodes[] = {KEY_A, KEY_L};

constexpr int kKeyUp = 0;
constexpr int kKeyDown = 1;

constexpr long kNanosecondsPerSecond = 1000000000L;

// CLOCK_MONOTONIC time of the last key-down of a guarded key. Both codes
// share it. Zero until the first key-down, so a key-up without one is
// measured from the clock's origin and is not short.
timespec press_time = {0, 0};

bool IsGuardedKey(unsigned code) {
  for (unsigned guarded : kGuardedKeyCodes) {
    if (code == guarded) return true;
  }
  return false;
}

}  // namespace

timespec TimespecDiff(timespec start, timespec end) {
  timespec diff;
  diff.tv_sec = end.tv_sec - start.tv_sec;
  diff.tv_nsec = end.tv_nsec - start.tv_nsec;
  if (diff.tv_nsec < 0) {
    diff.tv_sec -= 1;
    diff.tv_nsec += kNanosecondsPerSecond;
  }
  return diff;
}

int ReadKeyEvent(int key_fd) {
  // One record per call at the platform's own size (16 bytes on the 32-bit
  // target, 24 on 64-bit), so each event gets a pass of the loop to itself.
  input_event event;
  const ssize_t got = read(key_fd, &event, sizeof event);
  if (got != static_cast<ssize_t>(sizeof event)) {
    // An unplugged device stays readable for select while every read fails;
    // tell the loop so it stops watching instead of spinning on it.
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return kKeyDeviceGone;
    }
    return 0;
  }

  if (event.type != EV_KEY || !IsGuardedKey(event.code)) return 0;

  if (event.value == kKeyDown) {
    clock_gettime(CLOCK_MONOTONIC, &press_time);
    return 0;
  }
  if (event.value == kKeyUp) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Only whole seconds count: 0.999999999 s is short, 1 s is not.
    return TimespecDiff(press_time, now).tv_sec <= 0 ? 1 : 0;
  }
  return 0;  // auto-repeat and anything else
}
