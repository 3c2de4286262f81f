#include "guard/decision/guard_decision.h"

#include <algorithm>

#include "common/monotonic_time.h"

namespace {

// One pass's decisions as they are taken.
struct Decision {
  GuardRecord guard;
  GuardActions* actions;
  uint32_t echoes;  // owed to the client in this pass, sent together at its end
};

GuardAction Action(GuardActionKind kind) { return {kind, EpisodeUnderWay, {0, 0}, {0, 0}, {0, 0}, 0, GuardIdle}; }

void Add(Decision* decision, const GuardAction& action) {
  GuardActions* actions = decision->actions;
  if (actions->count >= kMaxGuardActions) return;
  actions->list[actions->count] = action;
  actions->count += 1;
}

void Add(Decision* decision, GuardActionKind kind) { Add(decision, Action(kind)); }

void AddEnd(Decision* decision, EpisodeEnd end, timespec at) {
  GuardAction action = Action(ActEndEpisode);
  action.end = end;
  action.at = at;
  Add(decision, action);
}

// A window starts at the moment given.
void LoadWindow(GuardRecord* guard, timespec start, long long microseconds) {
  guard->deadline = AddMicroseconds(start, microseconds);
}

// An interval starts where the one before it ended, so a late pass does not
// shift every later command; after a stall longer than the interval it
// starts now rather than firing at once to catch up.
void LoadNextInterval(GuardRecord* guard, timespec now) {
  timespec next = AddMicroseconds(guard->deadline, kStandbyIntervalMicroseconds);
  if (IsBefore(next, now)) next = AddMicroseconds(now, kStandbyIntervalMicroseconds);
  guard->deadline = next;
}

void DecideTimeout(Decision* decision, timespec now) {
  GuardRecord* guard = &decision->guard;
  switch (guard->state) {
    case GuardAwaitConfirm:
      guard->state = GuardStandbySent;
      LoadNextInterval(guard, now);
      Add(decision, ActSendStandby);
      guard->timeout_armed = 1;
      break;
    case GuardStandbySent:
      guard->state = GuardAlarming;
      guard->retry_count += 1;
      LoadNextInterval(guard, now);
      // The command first: forking the alarm child takes milliseconds the
      // command's deadline cannot spare.
      Add(decision, ActSendStandby);
      Add(decision, ActSoundWarning);
      break;
    case GuardAlarming:
      guard->retry_count += 1;
      if (guard->retry_count >= kStandbyRetryLimit) {
        guard->state = GuardIdle;
        guard->timeout_armed = 0;
        guard->retry_count = 0;
        AddEnd(decision, EpisodeGaveUp, now);
      } else {
        LoadNextInterval(guard, now);
        Add(decision, ActSendStandby);
      }
      break;
    default: {
      GuardAction action = Action(ActSayUnexpectedTimeout);
      action.state = guard->state;
      Add(decision, action);
      break;
    }
  }
}

// What the standing bytes do in the state in force: a confirmation read
// before the deadline ends the window and is used up by the press it
// confirms (a UI that confirmed once and then froze must not confirm every
// later press); one read later belongs to the press it was too late for
// and is used up there. A standing ping is answered while idle. Nothing
// else, in any state.
void ActOnStandingBytes(Decision* decision) {
  GuardRecord* guard = &decision->guard;
  if (guard->state == GuardIdle) {
    if (guard->ping_standing) decision->echoes += 1;
    return;
  }
  if (!guard->confirmation) return;
  // Read at or after the deadline, even in a pass that began before it or
  // ran late, it is too late: the press's first command is due.
  if (guard->state == GuardAwaitConfirm && IsBefore(guard->confirmation_read_at, guard->deadline)) {
    guard->timeout_armed = 0;
    guard->state = GuardIdle;
    AddEnd(decision, EpisodeConfirmed, guard->confirmation_read_at);
  }
  guard->confirmation = false;
}

// What one byte leaves standing. The bytes are kept on the wire as they
// were; only a byte other than 1 and 2 has two meanings: it ends a
// standing ping, and withdraws a confirmation only while none stands (the
// client library's HelmwatchPing sends 1 and then 0, HelmwatchWithdraw a
// lone 0), so that a UI that confirms on the key-down and pings before the
// key-up keeps its confirmation.
void TakeControlByte(GuardRecord* guard, uint8_t byte, timespec read_at) {
  if (byte == ControlPing) {
    guard->ping_standing = true;
  } else if (byte == ControlConfirm) {
    guard->confirmation = true;
    guard->confirmation_read_at = read_at;
  } else if (guard->ping_standing) {
    guard->ping_standing = false;
  } else {
    guard->confirmation = false;
  }
}

// Statuses count from the episode's start on; those drained in the pass
// that reads the key-up may have come before it, and count for nothing.
void TakeStatuses(GuardRecord* guard, const ApStatusReport& statuses) {
  if (guard->state != GuardIdle && statuses.count > 0) guard->standby_heard = statuses.standby;
}

// Each byte but the last acts as it would in a pass of its own; the last
// acts in the pass's wake-up action, so a flood costs the guard one pass,
// not one per byte. A client gone takes what it left standing with it.
void TakeControlBytes(Decision* decision, const ControlReading& control) {
  GuardRecord* guard = &decision->guard;
  if (control.client_gone) {
    guard->ping_standing = false;
    guard->confirmation = false;
    return;
  }
  const size_t count = std::min(control.count, kControlBatchBytes);
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) ActOnStandingBytes(decision);
    TakeControlByte(guard, control.bytes[i], control.read_at);
  }
}

// True when the key event read completes a short press, released at
// *released.
// A keypad that went away took its held keys with it: a key-up after its
// return is none, and a new chord starts afresh.
bool TakeKeyEvent(GuardRecord* guard, const KeyReading& key, timespec* released) {
  if (key.device_lost) guard->keys.keys_down = 0;
  if (!key.read) return false;
  return DetectShortPress(&guard->keys, key.event, key.read_at, key.stamps_monotonic, released) == 1;
}

// The window runs from the key-up's own moment, however late it was read.
void BeginPress(Decision* decision, timespec released, timespec read_at) {
  GuardRecord* guard = &decision->guard;
  GuardAction begin = Action(ActBeginEpisode);
  begin.at = released;
  begin.read_at = read_at;
  begin.went_down = guard->keys.down_time;
  Add(decision, begin);
  guard->state = GuardAwaitConfirm;
  guard->standby_heard = false;
  LoadWindow(guard, released, kConfirmWindowSeconds * kMicrosecondsPerSecond);
  guard->timeout_armed = 1;
  // A confirmation sent ahead, by a UI acting on the key-down, counts for
  // this press at once. One read before the key went down was not sent for
  // it (a stray byte, the late answer to an earlier press, a displaced
  // client's last word) and is dropped.
  if (guard->confirmation && IsBefore(guard->confirmation_read_at, guard->keys.down_time)) {
    guard->confirmation = false;
  }
  ActOnStandingBytes(decision);
}

// When the standby the guard acts on was reported: at the drain that
// brought it, or, reported in an earlier pass, at this one.
timespec StandbyReportedAt(const PassReading& reading) {
  return reading.can.statuses.count > 0 ? reading.can.drained_at : reading.began;
}

// A waiting frame goes again once its retry is due, before the next
// command is due; when that comes first, the waiting command is given up
// as not sent, and the next one goes instead.
void DecideWaitingCommand(Decision* decision, timespec now, bool next_due) {
  GuardRecord* guard = &decision->guard;
  if (!guard->command_waiting || (!next_due && IsBefore(now, guard->retry_at))) return;
  Add(decision, next_due ? ActGiveUpCommand : ActResendCommand);
  guard->command_waiting = false;
}

void DecideWakeUp(Decision* decision, bool short_press, timespec released, const PassReading& reading) {
  GuardRecord* guard = &decision->guard;
  switch (guard->state) {
    case GuardIdle:
      ActOnStandingBytes(decision);
      if (short_press) BeginPress(decision, released, reading.key.read_at);
      break;
    case GuardAwaitConfirm:
      // Nothing else here: a further press does not restart the window.
      ActOnStandingBytes(decision);
      break;
    case GuardStandbySent:
    case GuardAlarming:
      ActOnStandingBytes(decision);
      if (guard->standby_heard) {
        DecideWaitingCommand(decision, reading.began, true);
        guard->timeout_armed = 0;
        guard->state = GuardIdle;
        guard->retry_count = 0;
        AddEnd(decision, EpisodeStandby, StandbyReportedAt(reading));
        Add(decision, ActSoundCleared);
      }
      break;
  }
}

}  // namespace

GuardRecord NewGuardRecord() {
  GuardRecord guard = {};
  guard.state = GuardIdle;
  guard.deadline = {0, 0};
  guard.timeout_armed = 0;
  guard.retry_count = 0;
  guard.ping_standing = false;
  guard.confirmation = false;
  guard.confirmation_read_at = {0, 0};
  guard.keys = {0, {0, 0}};
  guard.standby_heard = false;
  guard.command_waiting = false;
  guard.retry_at = {0, 0};
  return guard;
}

void DecideGuardPass(const GuardRecord& record, const PassReading& reading, GuardRecord* next,
                     GuardActions* actions) {
  actions->count = 0;
  Decision decision = {record, actions, 0};
  GuardRecord* guard = &decision.guard;
  if (reading.command_refused) {
    // Tried again later, not at once: the queue needs time to drain.
    if (guard->state == GuardStandbySent || guard->state == GuardAlarming) {
      guard->command_waiting = true;
      guard->retry_at = AddMicroseconds(reading.began, kCommandRetryMicroseconds);
    }
  } else if (reading.timed_out) {
    // select ran out at the earliest time the record wakes for: the retry's
    // when that comes first, else the deadline's, which a late pass may
    // have reached as well.
    const bool retry = guard->command_waiting &&
                       (guard->timeout_armed == 0 || IsBefore(guard->retry_at, guard->deadline));
    const bool due = guard->timeout_armed != 0 ? !retry || !IsBefore(reading.began, guard->deadline) : !retry;
    DecideWaitingCommand(&decision, guard->retry_at, due);
    if (due) DecideTimeout(&decision, reading.began);
  } else {
    TakeStatuses(&decision.guard, reading.can.statuses);
    TakeControlBytes(&decision, reading.control);
    timespec released = {0, 0};
    const bool short_press = TakeKeyEvent(&decision.guard, reading.key, &released);
    DecideWakeUp(&decision, short_press, released, reading);
    if (decision.echoes > 0) {
      GuardAction echoes = Action(ActSendEchoes);
      echoes.count = decision.echoes;
      Add(&decision, echoes);
    }
    // A wake-up past the deadline of a guard still armed runs the time-out
    // too, so a steady stream of frames can neither starve nor postpone it.
    const bool due = guard->timeout_armed != 0 && !IsBefore(reading.began, guard->deadline);
    DecideWaitingCommand(&decision, reading.began, due);
    if (due) DecideTimeout(&decision, reading.began);
  }
  *next = decision.guard;
}

bool GuardWantsEveryStatus(const GuardRecord& record) {
  return record.state == GuardStandbySent || record.state == GuardAlarming;
}

bool GuardWakeTime(const GuardRecord& record, timespec* at) {
  if (record.timeout_armed != 0) *at = record.deadline;
  const bool retry_first =
      record.command_waiting && (record.timeout_armed == 0 || IsBefore(record.retry_at, record.deadline));
  if (retry_first) *at = record.retry_at;
  return record.timeout_armed != 0 || record.command_waiting;
}
