// The short-press detector: what the keypad's events make of a press, for
// the guard's decisions and for helmwatch-ctl check's reading of a keypad.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <ctime>

// The short-press detector's memory, on CLOCK_MONOTONIC. A press is the
// helmsman's, not a key's: holds of the guarded keys that overlap (a chord,
// both codes at once) are one press, from its first key-down to its last
// key-up; a key-up of a key not held (down before the guard started, or
// before the keypad was lost) is none.
//
// Each key moved at its event's own stamp where the device stamps on
// CLOCK_MONOTONIC (never later than it was read), else when it was read (a
// FIFO): a read held up by load changes neither the hold nor the moments.
struct ShortPressDetector {
  uint32_t keys_down;  // the guarded keys held, a bit each
  // When the chord's first key went down. The UI, reading the same device,
  // can act on a key-down only after this moment, even when the guard reads
  // the key-down after the UI's answer to it.
  timespec down_time;
};

// Takes one event read at read_at (CLOCK_MONOTONIC), stamped on that clock
// when stamps_monotonic. Returns 1 when it is the key-up that completes a
// short press: whole seconds count, 0.999999999 s is short and 1 s is not;
// *released (when given) is then the key-up's moment.
int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec read_at,
                     bool stamps_monotonic, timespec* released = nullptr);
