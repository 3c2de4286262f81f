// What the status line says of the guard, as numbers: the guard loop
// gathers them after every pass and hands them to the supervision, which
// compares them as a whole and formats a line only when they changed.
#pragma once

#include <cstdint>

enum StatusUi : int32_t { StatusUiNone = 0, StatusUiConnected = 1, StatusUiNoSocket = 2 };

struct StatusFacts {
  int32_t state;            // GuardState
  int32_t keypad_present;   // 1 while the key device is open
  int32_t link;             // HalLinkState
  int32_t autopilot;        // its address, kAddressNotLearnt before one is heard
  int32_t command_source;   // likewise
  int32_t autopilot_heard;  // ApPresence: never heard, heard, silent
  // While silent: when its last status was noticed, in microseconds on
  // CLOCK_MONOTONIC; 0 otherwise, so that a status heard changes no fact.
  int64_t silent_since_us;
  int32_t ui;               // StatusUi
  uint32_t episodes;        // recorded so far: the last one's field changes with it
  // The last episode's summary for the line's last field; null before the
  // first. The same text while episodes is unchanged.
  const char* last_episode;
  bool operator==(const StatusFacts&) const = default;
};
