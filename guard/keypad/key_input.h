// Key input: the keypad's event records, read one at a time; what they
// make of a press is the decisions' (short_press.h).
#pragma once

#include <linux/input.h>

#include <cstdint>

// What one read of the key device found.
enum KeyRead : int32_t {
  KeyReadNothing = 0,  // nothing whole: a partial or interrupted read
  KeyReadEvent = 1,    // one event record
  KeyReadGone = 2,     // end of file or a lasting read error: the device is gone (unplugged)
};

// Reads exactly one event record from key_fd, which select reported
// readable, into *event.
KeyRead ReadKeyEvent(int key_fd, input_event* event);
