// Key input watcher: turns the keypad's events into short presses of the
// guarded key.
#pragma once

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

// end minus start, nanoseconds kept within 0..999999999 by borrowing a second.
timespec TimespecDiff(timespec start, timespec end);
