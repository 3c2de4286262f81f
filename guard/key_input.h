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

// The short-press detector's memory: when a guarded key last went down, on
// CLOCK_MONOTONIC. Both codes share it. Zero until the first key-down, so a
// key-up without one is measured from the clock's origin and is not short.
struct ShortPressDetector {
  timespec press_time;
};

// Takes one event seen at now (CLOCK_MONOTONIC; the event's own time stamp
// is not used). Returns 1 when it is the key-up that completes a short
// press: whole seconds count, 0.999999999 s is short and 1 s is not.
int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec now);

// Forgets the key-down ReadKeyEvent remembers, as at start-up.
void ResetKeyInput();
