// The guard loop, one pass at a time. RunGuardLoop (guard.h) is select plus
// RunGuardPass; the pass takes what select returned, so the state machine can
// be driven without waiting for real time. A pass reads what is ready, has
// the decisions (guard_decision) decide, and carries out their actions.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include "guard/episode/episode_record.h"
#include "guard/decision/guard_decision.h"
#include "guard/supervision/status_facts.h"

// The loop's variables: the decisions' record, and what the loop serves and
// tells for them.
struct GuardLoop {
  GuardRecord guard;
  int client_fd;
  int listen_fd;
  int key_fd;  // -1 while the key device is gone
  // The episode under way, or the last one; ended, its record is written at
  // the end of the pass, after the pass's commands.
  EpisodeRecord episode;
  bool episode_ended;
  int can_fd;  // the CAN layer's receive socket; -1 when start-up got none
  // The standby command under way, sent frame by frame; whether the full
  // transmit queue refused one of its frames in this pass; whether the
  // episode's flight window is open.
  ApStandbyCommand command;
  bool command_refused;
  bool flight_window;
  // The latest read of the CAN socket found frames: read it on the loop's
  // tick, not at every frame, unless the guard commands.
  bool can_busy;
  // What the latest pass read and what it decided, for whoever watches the
  // guard pass by pass.
  PassReading last_reading;
  GuardActions last_actions;
};

// The variables as the loop enters: idle, nothing armed, no client.
GuardLoop NewGuardLoop(int key_fd, int can_socket_fd, int listen_fd);

// Empties and fills the read set for the next select; returns its count.
int FillGuardSelectSet(const GuardLoop* loop, fd_set* read_set);

// What select is to wait for at now: while the decisions wait for a time
// (a deadline, a refused frame's retry), left filled with the time until
// it (zero once it has passed) and returned; null (no limit) otherwise.
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
