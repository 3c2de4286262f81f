// What the guard must do at sea, checked pass by pass from outside its
// decisions: from what each pass read and the actions the guard took, never
// from a second copy of its rules. A press is the helmsman's: the holds of
// the guarded keys that overlap, from the first key-down to the last key-up
// by the keypad's own stamps, shorter than a second. The bytes mean what the
// UI's contract says they mean. The explorer and the guard loop's fuzz
// target share it.
#pragma once

#include <cstdint>

#include "guard/decision/guard_decision.h"

struct SafetyMonitor {
  // The guarded keys held, and when the first of them went down.
  uint32_t keys_down;
  int64_t chord_down;
  // The UI's standing ping, and its 2 not yet counted or withdrawn.
  bool ping_standing;
  bool confirmation;
  int64_t confirmation_read;
  // The press the guard must act on: open from its release until its
  // episode may end.
  bool open;
  bool confirmed;  // a 2 was read for it in time
  int64_t released;
  int64_t went_down;
  int32_t commands;
  // The next command (or the end) is due in the first pass from `due` on,
  // and not before `earliest`.
  int64_t due;
  int64_t earliest;
  // The latest autopilot status heard since the release said standby.
  bool standby_heard;
  // A frame of the command the full transmit queue refused, and when: it
  // goes again a few milliseconds later, before the next command is due.
  bool refused_waiting;
  int64_t refused_at;
};

// Nothing held, no episode, no byte.
SafetyMonitor NewSafetyMonitor();

// Checks one pass, which read `reading`, took `actions` and left `after`;
// moves the monitor on. Returns null, or the property the pass broke.
const char* CheckGuardPass(SafetyMonitor* monitor, const PassReading& reading,
                           const GuardActions& actions, const GuardRecord& after);
