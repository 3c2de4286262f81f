// The guard loop, one pass at a time. RunGuardLoop (guard.h) is select plus
// RunGuardPass; the pass takes what select returned, so the state machine can
// be driven without waiting for real time.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "guard/episode_record.h"
#include "guard/status_facts.h"

enum GuardState : int32_t {
  GuardIdle = 0,          // waiting for a short press
  GuardAwaitConfirm = 1,  // waiting for the UI to confirm the press
  GuardStandbySent = 2,   // first standby command sent, no alarm yet
  GuardAlarming = 3,      // warning alarm started, command repeated
};

inline constexpr time_t kConfirmWindowSeconds = 3;
inline constexpr suseconds_t kStandbyIntervalMicroseconds = 250000;
// Time-outs counted in the two sending states before the guard gives up:
// 8 standby commands, the last interval ending 5 s after the press.
inline constexpr int32_t kStandbyRetryLimit = 8;
// Control bytes read in one pass; each acts in turn as in a pass of its own.
inline constexpr size_t kControlBatchBytes = 256;

// The loop's variables.
struct GuardLoop {
  GuardState state;
  // Where the current window or interval ends, on CLOCK_MONOTONIC, while
  // timeout_armed. select waits for what is left of it and a wake-up finds
  // it due from it, so the time spent serving descriptors between selects
  // (on a busy bus, much of it) is not lost from the window or interval.
  timespec deadline;
  int timeout_armed;
  int32_t retry_count;
  // Stays in force from pass to pass until the next byte or the client's end.
  uint8_t last_control_byte;
  // When the byte in force was read: a confirmation counts only for a press
  // whose key went down before it.
  timespec byte_read_at;
  // Echoes owed to the client in this pass, sent together at its end.
  uint32_t echoes_due;
  int client_fd;
  int listen_fd;
  int key_fd;  // -1 while the key device is gone
  // The episode under way, or the last one; ended, its record is written at
  // the end of the pass, after the pass's commands.
  EpisodeRecord episode;
  bool episode_ended;
  int can_fd;  // the CAN layer's receive socket; -1 when start-up got none
  // What the latest autopilot status drained said: standby or not. It stays
  // from pass to pass until the next status.
  bool ap_standby;
  // The short-press detector's memory (ShortPressDetector, key_input.h):
  // when a guarded key-down was last read, and when that key went down.
  timespec press_time;
  timespec down_time;
};

// The variables as the loop enters: idle, nothing armed, no client.
GuardLoop NewGuardLoop(int key_fd, int can_socket_fd, int listen_fd);

// Empties and fills the read set for the next select; returns its count.
int FillGuardSelectSet(const GuardLoop* loop, fd_set* read_set);

// What select is to wait for at now: while armed, left filled with the time
// until the deadline (zero once it has passed) and returned; null (no
// limit) otherwise.
timeval* GuardSelectTimeout(const GuardLoop* loop, const timespec* now, timeval* left);

// What the status line says of the loop and of the units it serves, at now.
StatusFacts GuardStatusFacts(const GuardLoop* loop, timespec now);

// Acts on select's result: 0 runs the time-out action of the state in force,
// and a positive count serves the ready descriptors (CAN, listening socket,
// client, key device, in that order) and then runs the wake-up action. A
// wake-up at now (when select returned) past the deadline of a loop still
// armed runs the time-out action too, so a steady stream of frames can
// neither starve nor postpone it.
void RunGuardPass(GuardLoop* loop, int select_result, const fd_set* ready, const timespec* now);
