#include "guard/decision/short_press.h"

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

