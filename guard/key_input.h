// Key input watcher: turns the keypad's events into short presses of the
// guarded key.
#pragma once

#include <linux/input.h>

#include <ctime>

// ReadKeyEvent's result when the device is gone (unplugged): end of file or
// a read error that is not transient.
inline constexpr int kKeyDeviceGone = -1;

// Reads exactly one event record from key_fd, which select reported readable.
// Returns 1 when the event is the key-up that completes a short press (held
// less than one second) of a guarded key, kKeyDeviceGone when the device has
// gone away, and 0 for everything else, a partial or interrupted read
// included.
int ReadKeyEvent(int key_fd);

// The short-press detector's memory, on CLOCK_MONOTONIC. Both codes share it.
// Zero until the first key-down, so a key-up without one is measured from
// the clock's origin and is not short.
struct ShortPressDetector {
  // When a guarded key-down was last read: what the hold is measured from.
  timespec press_time;
  // When that key went down: its event's own time stamp where the device
  // stamps on CLOCK_MONOTONIC (never later than press_time), else
  // press_time. The UI, reading the same device, can act on a key-down only
  // after this moment, even when the guard reads the key-down after the
  // UI's answer to it.
  timespec down_time;
  bool stamps_monotonic;
};

// Takes one event seen at now (CLOCK_MONOTONIC). Returns 1 when it is the
// key-up that completes a short press: whole seconds count, 0.999999999 s is
// short and 1 s is not.
int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec now);

// Whether the key device's events are stamped on CLOCK_MONOTONIC: an input
// event device switched to that clock (key_device) is, a FIFO is not.
void SetKeyStampsMonotonic(bool monotonic);

// When the guarded key went down for the press ReadKeyEvent last completed
// (the detector's down_time).
timespec LastKeyDownTime();

// Forgets the key-down ReadKeyEvent remembers and the stamps' clock, as at
// start-up.
void ResetKeyInput();
