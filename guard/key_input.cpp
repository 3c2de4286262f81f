#include "guard/key_input.h"

#include <unistd.h>

#include <cerrno>

#include "common/monotonic_time.h"

namespace {

// Key codes of the guarded autopilot key; the keypad reports it under either.
constexpr unsigned kGuardedKeyCodes[] = {KEY_A, KEY_L};

constexpr int kKeyUp = 0;
constexpr int kKeyDown = 1;

// The key's bit in the detector's set; 0 for a key that is not guarded.
uint32_t GuardedKeyBit(unsigned code) {
  for (uint32_t i = 0; i < sizeof kGuardedKeyCodes / sizeof kGuardedKeyCodes[0]; ++i) {
    if (code == kGuardedKeyCodes[i]) return 1U << i;
  }
  return 0;
}

}  // namespace

int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec read_at,
                     bool stamps_monotonic, timespec* released) {
  const uint32_t key = event.type == EV_KEY ? GuardedKeyBit(event.code) : 0;
  if (key == 0) return 0;
  timespec moved = {static_cast<time_t>(event.input_event_sec),
                    static_cast<long>(event.input_event_usec) * kNanosecondsPerMicrosecond};
  if (!stamps_monotonic || IsBefore(read_at, moved)) moved = read_at;
  if (event.value == kKeyDown) {
    if (detector->keys_down == 0) detector->down_time = moved;
    detector->keys_down |= key;
    return 0;
  }
  if (event.value != kKeyUp || (detector->keys_down & key) == 0) return 0;  // auto-repeat, a key not held
  detector->keys_down &= ~key;
  if (detector->keys_down != 0) return 0;
  if (released != nullptr) *released = moved;
  return TimespecDiff(detector->down_time, moved).tv_sec <= 0 ? 1 : 0;
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
