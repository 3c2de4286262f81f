// A keypad made with uinput: the kernel shows it as an input-event device
// like a unit's own keypad, so the daemon reads it with no test seam.
#pragma once

#include <string>

struct SimKeypad {
  int uinput_fd = -1;
  std::string event_path;  // /dev/input/eventN of the new device
};

// Creates a keypad with the given keys. Returns false with *error set when
// uinput is missing or refuses.
bool CreateKeypad(SimKeypad* keypad, const char* name, const int* keys, int key_count,
                  std::string* error);

// Key down, hold_ms of holding, key up; each edge followed by a sync report.
// Returns false when a write failed.
bool PressKey(const SimKeypad& keypad, int key, int hold_ms);

// Writes one edge (value 1 down, 0 up) and its sync report.
bool WriteKeyEdge(const SimKeypad& keypad, int key, int value);

// Unplugs the keypad: the kernel removes its event device.
void DestroyKeypad(SimKeypad* keypad);
