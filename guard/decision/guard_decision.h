// The guard's decisions, one pass of the loop at a time, apart from its I/O:
// from the decision record and what the pass read, the next record and the
// actions to carry out, in order. No clock, descriptor or global is read
// here; the times a decision needs come with what was read.
#pragma once

#include <linux/input.h>
#include <sys/time.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "can/autopilot.h"
#include "guard/decision/short_press.h"
#include "helmwatch_protocol.h"

// Bytes a client sends.
enum ControlByte : uint8_t {
  ControlPing = HELMWATCH_PING,        // answered with 1 while the guard is idle
  ControlConfirm = HELMWATCH_CONFIRM,  // the press has been handled: ends the confirmation window
};

enum EpisodeEnd : int32_t {
  EpisodeUnderWay = 0,
  EpisodeConfirmed = 1,  // a 2 from the UI, in the window or sent ahead on the key-down
  EpisodeStandby = 2,    // the autopilot reported standby
  EpisodeGaveUp = 3,     // the eighth interval ran out without a standby report
};

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
// A command's frame the full transmit queue refused is tried again this
// much later (the queue drains a frame in half a millisecond at 250 kbit/s),
// again and again until it goes or the next command is due.
inline constexpr long long kCommandRetryMicroseconds = 5000;

// What the guard's decisions remember from pass to pass.
struct GuardRecord {
  GuardState state;
  // Where the current window or interval ends, on CLOCK_MONOTONIC, while
  // timeout_armed. select waits for what is left of it and a wake-up finds
  // it due from it, so the time spent serving descriptors between selects
  // (on a busy bus, much of it) is not lost from the window or interval.
  timespec deadline;
  int timeout_armed;
  int32_t retry_count;
  // What the UI's bytes leave standing, until the client's end. A 1 stands
  // until a later byte other than 1 or 2 ends it; a 2 stands until a press
  // uses it up, or a byte other than 1 or 2 withdraws it while no ping
  // stands: a ping, standing or answered and ended, never touches it.
  bool ping_standing;
  bool confirmation;
  // When the 2 was read: it counts only for a press whose key went down
  // before it, and only read before that press's deadline.
  timespec confirmation_read_at;
  // The short-press detector's memory: the guarded keys held, and when
  // their chord began.
  ShortPressDetector keys;
  // Whether the latest autopilot status heard since the press's release
  // said standby: a status from before the press tells nothing of the
  // autopilot now (another station may have engaged it since), so it
  // neither ends the episode nor sounds the all-clear.
  bool standby_heard;
  // A frame of the command under way that the transmit queue refused
  // waits to be sent again at retry_at.
  bool command_waiting;
  timespec retry_at;
};

// The record as the loop enters: idle, nothing armed, nothing heard.
GuardRecord NewGuardRecord();

// The autopilot's statuses decoded in the pass.
struct StatusReading {
  ApStatusReport statuses;
  timespec drained_at;  // when the shell drained them
};

// The client's bytes read in the pass.
struct ControlReading {
  size_t count;  // 0: nothing read
  uint8_t bytes[kControlBatchBytes];
  timespec read_at;
  bool client_gone;  // the read found the client gone; nothing was read
};

// The key event read in the pass.
struct KeyReading {
  bool read;          // false: none
  input_event event;  // with the device's own time stamp
  timespec read_at;
  bool stamps_monotonic;  // the device stamps its events on CLOCK_MONOTONIC
  bool device_lost;       // the device went away in this pass: its keys are up
};

// What one pass of the loop read. A pass whose command (sent, or sent
// again) the full transmit queue refused has it decided on at once, in a
// reading of its own: command_refused and began, nothing else.
struct PassReading {
  timespec began;  // when select returned
  bool timed_out;  // select ran out at the earliest time the record wakes for: nothing was read
  StatusReading can;
  ControlReading control;
  KeyReading key;
  bool command_refused;
};

enum GuardActionKind : int32_t {
  ActSendStandby = 0,           // send one standby command, noted in the episode
  ActSoundWarning = 1,          // start the warning alarm
  ActSoundCleared = 2,          // sound the all-clear
  ActSendEchoes = 3,            // answer `count` pings
  ActBeginEpisode = 4,          // a press released at `at`
  ActEndEpisode = 5,            // the episode ends as `end`, at `at`
  ActSayUnexpectedTimeout = 6,  // a time-out came in `state`, which arms none
  ActResendCommand = 7,         // send the waiting frames of the command under way again
  ActGiveUpCommand = 8,         // the waiting command did not go before the next was due: not sent
};

struct GuardAction {
  GuardActionKind kind;
  EpisodeEnd end;    // ActEndEpisode
  timespec at;       // ActBeginEpisode (the key-up's moment), ActEndEpisode
  timespec read_at;  // ActBeginEpisode: when the guard read the key-up
  timespec went_down;  // ActBeginEpisode: when the press's first key went down
  uint32_t count;    // ActSendEchoes
  GuardState state;  // ActSayUnexpectedTimeout
};

// Room for what one pass can decide, four at most: an episode confirmed by
// a byte of the batch, a press begun and confirmed at once, and the echoes.
inline constexpr size_t kMaxGuardActions = 8;

struct GuardActions {
  size_t count;
  GuardAction list[kMaxGuardActions];
};

// Whether every autopilot status is wanted the moment it comes: while the
// guard commands, a standby report ends the episode with the all-clear.
// Otherwise no decision hangs on a status read a little later.
bool GuardWantsEveryStatus(const GuardRecord& record);

// When select is to return for the record, on CLOCK_MONOTONIC: the
// deadline, or a waiting frame's retry when that comes first; false while
// nothing is armed.
bool GuardWakeTime(const GuardRecord& record, timespec* at);

// Decides one pass: from record and what the pass read, *next (which may be
// record itself) and the actions in the order they are to be carried out.
void DecideGuardPass(const GuardRecord& record, const PassReading& reading, GuardRecord* next,
                     GuardActions* actions);
