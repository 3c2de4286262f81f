#include "guard/key_input.h"

#include <unistd.h>

#include <cerrno>

#include "common/monotonic_time.h"

namespace {

// Key codes of the guarded autopilot key; the keypad reports it under either.
constexpr unsigned kGuardedKeyCodes[] = {KEY_A, KEY_L};

constexpr int kKeyUp = 0;
constexpr int kKeyDown = 1;

bool IsGuardedKey(unsigned code) {
  for (unsigned guarded : kGuardedKeyCodes) {
    if (code == guarded) return true;
  }
  return false;
}

}  // namespace

int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec now) {
  if (event.type != EV_KEY || !IsGuardedKey(event.code)) return 0;
  if (event.value == kKeyDown) {
    detector->press_time = now;
    detector->down_time = now;
    const timespec stamp = {static_cast<time_t>(event.input_event_sec),
                            static_cast<long>(event.input_event_usec) * kNanosecondsPerMicrosecond};
    if (detector->stamps_monotonic && IsBefore(stamp, now)) detector->down_time = stamp;
    return 0;
  }
  if (event.value == kKeyUp) return TimespecDiff(detector->press_time, now).tv_sec <= 0 ? 1 : 0;
  return 0;  // auto-repeat and anything else
}

KeyRead ReadKeyEvent(int key_fd, input_event* event) {
  // One record per call at the platform's own size (16 bytes on the 32-bit
  // target, 24 on 64-bit), so each event gets a pass of the loop to itself.
  const ssize_t got = read(key_fd, event, sizeof *event);
  if (got == static_cast<ssize_t>(sizeof *event)) return KeyReadEvent;
  // An unplugged device stays readable for select while every read fails;
  // tell the loop so it stops watching instead of spinning on it.
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return KeyReadGone;
  return KeyReadNothing;
}
