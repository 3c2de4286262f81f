#include "guard/tests/safety_monitor.h"

#include <linux/input.h>

#include <algorithm>

#include "common/monotonic_time.h"
#include "guard/control/control_socket.h"

namespace {

constexpr unsigned kGuardedCodes[] = {KEY_A, KEY_L};  // the autopilot key, under either code
constexpr int64_t kShortHold = kNanosecondsPerSecond;
constexpr int64_t kWindow = int64_t{3} * kNanosecondsPerSecond;
constexpr int64_t kInterval = 250 * kNanosecondsPerMillisecond;
constexpr int32_t kMostCommands = 8;
// A refused frame is tried again no sooner than this (no busy loop), and
// no later than this after the refusal.
constexpr int64_t kSoonestRetry = kNanosecondsPerMillisecond;
constexpr int64_t kLatestRetry = 10 * kNanosecondsPerMillisecond;

int64_t Ns(timespec t) { return TimespecNanoseconds(t); }

uint32_t GuardedBit(unsigned code) {
  for (uint32_t i = 0; i < 2; ++i) {
    if (kGuardedCodes[i] == code) return 1U << i;
  }
  return 0;
}

// What the guard did in one pass.
struct Tally {
  int commands = 0;
  int warnings = 0;
  int clears = 0;
  int begins = 0;
  int resends = 0;
  int give_ups = 0;
  uint32_t echoes = 0;
  bool ended = false;
  EpisodeEnd end = EpisodeUnderWay;
};

Tally Count(const GuardActions& actions) {
  Tally tally;
  for (size_t i = 0; i < actions.count; ++i) {
    const GuardAction& action = actions.list[i];
    tally.commands += action.kind == ActSendStandby ? 1 : 0;
    tally.warnings += action.kind == ActSoundWarning ? 1 : 0;
    tally.clears += action.kind == ActSoundCleared ? 1 : 0;
    tally.begins += action.kind == ActBeginEpisode ? 1 : 0;
    tally.resends += action.kind == ActResendCommand ? 1 : 0;
    tally.give_ups += action.kind == ActGiveUpCommand ? 1 : 0;
    if (action.kind == ActSendEchoes) tally.echoes += action.count;
    if (action.kind == ActEndEpisode) {
      tally.ended = true;
      tally.end = action.end;
    }
  }
  return tally;
}

// The UI's contract: a 1 stands until a later byte other than 1 or 2 ends
// it; a 2 confirms; any other byte with no ping standing withdraws the 2.
void TakeByte(SafetyMonitor* m, uint8_t byte, int64_t at) {
  if (byte == ControlPing) {
    m->ping_standing = true;
  } else if (byte == ControlConfirm) {
    if (!m->open || m->confirmed) {  // idle again from the byte that confirmed the press
      m->confirmation = true;
      m->confirmation_read = at;
    } else if (m->commands == 0 && at >= m->went_down && at < m->released + kWindow) {
      m->confirmed = true;
    }
  } else if (m->ping_standing) {
    m->ping_standing = false;
  } else {
    m->confirmation = false;
  }
}

// True when the event ends a chord of guarded keys held less than a second;
// *released is then the key-up's moment.
bool TakeKey(SafetyMonitor* m, const KeyReading& key, int64_t* released) {
  if (key.device_lost) m->keys_down = 0;
  if (!key.read || key.event.type != EV_KEY) return false;
  const uint32_t bit = GuardedBit(key.event.code);
  const int64_t read = Ns(key.read_at);
  const int64_t stamp = Ns({static_cast<time_t>(key.event.input_event_sec),
                            static_cast<long>(key.event.input_event_usec) * kNanosecondsPerMicrosecond});
  const int64_t moved = key.stamps_monotonic ? std::min(stamp, read) : read;
  if (bit == 0) return false;
  if (key.event.value == 1) {
    if (m->keys_down == 0) m->chord_down = moved;
    m->keys_down |= bit;
    return false;
  }
  if (key.event.value != 0 || (m->keys_down & bit) == 0) return false;
  m->keys_down &= ~bit;
  *released = moved;
  return m->keys_down == 0 && moved - m->chord_down < kShortHold;
}

void Open(SafetyMonitor* m, int64_t released) {
  m->open = true;
  m->released = released;
  m->went_down = m->chord_down;
  m->commands = 0;
  m->due = released + kWindow;
  m->earliest = m->due;
  m->standby_heard = false;
  // A 2 read since the key went down counts for this press; one read
  // before it was sent for none, and one read when the key-up (read late)
  // was already 3 s old is late.
  m->confirmed = m->confirmation && m->confirmation_read >= m->went_down && m->confirmation_read < m->due;
  m->confirmation = false;
}

// A refused frame: sent again after a few milliseconds, before the next
// command is due; given up only when that comes or the episode ends.
const char* CheckRetry(SafetyMonitor* m, const Tally& did, int64_t now) {
  const int handled = did.resends + did.give_ups;
  if (handled > 1 || (handled > 0 && !m->refused_waiting)) return "a refused frame, and only one, goes again or is given up";
  if (!m->refused_waiting) return nullptr;
  const bool next_goes = did.commands > 0 || did.ended;
  if (did.give_ups > 0 && !next_goes) return "a refused frame is given up only for the next command or the end";
  if (did.resends > 0 && (next_goes || now < m->refused_at + kSoonestRetry)) {
    return "a refused frame goes again after a wait, before the next command";
  }
  if (handled == 0 && next_goes) return "a refused frame is given up, not left waiting, when the next command goes";
  if (handled == 0 && now >= m->refused_at + kLatestRetry) return "a refused frame goes again within 10 ms";
  m->refused_waiting = handled == 0;
  return nullptr;
}

// The guard's actions in a pass of an open episode; closes it when it ends.
const char* CheckEpisode(SafetyMonitor* m, const Tally& did, int64_t now, bool standby_now) {
  if (const char* broken = CheckRetry(m, did, now)) return broken;
  if (m->confirmed) {
    if (did.commands > 0 || did.warnings > 0) return "no standby command and no warning for a press the UI confirmed in time";
    if (!did.ended || did.end != EpisodeConfirmed) return "a press the UI confirmed in time ends its episode at once";
    m->open = false;
    return nullptr;
  }
  if (did.ended && did.end == EpisodeConfirmed) {
    return "a 2 confirms only a press whose key went down before it was read, read within 3 s of the release";
  }
  const bool commanding = m->commands > 0;
  if (did.commands > 1) return "one standby command a pass";
  if (did.commands == 0 && !did.ended && now >= m->due) {
    return m->commands < kMostCommands ? "a standby command in the first pass at or after it is due"
                                       : "the episode ends in the first pass after its eighth command's interval";
  }
  if (did.commands == 1) {
    if (now < m->earliest) {
      return m->commands == 0 ? "no standby command before 3 s after the key-up's own stamp"
                              : "no standby command ahead of its 250 ms step";
    }
    if (m->commands >= kMostCommands) return "at most 8 standby commands an episode";
    m->commands += 1;
    m->earliest += kInterval;
    m->due = std::max(m->due, now) + kInterval;
  }
  if (did.warnings > 0 && m->commands == 0) return "no warning before a standby command";
  const bool standby_end = did.ended && did.end == EpisodeStandby;
  if (standby_now && commanding && !standby_end) return "a standby report while commanding ends the episode";
  if (standby_end && !m->standby_heard) return "the all-clear only for a standby report heard during the episode";
  if (did.clears != (standby_end ? 1 : 0)) return "the all-clear sounds exactly when the autopilot's standby ends it";
  if (did.ended && did.end == EpisodeGaveUp && (m->commands < kMostCommands || now < m->earliest)) {
    return "the guard gives up only after 8 commands and their intervals";
  }
  if (did.ended) m->open = false;
  return nullptr;
}

}  // namespace

SafetyMonitor NewSafetyMonitor() { return SafetyMonitor{}; }

const char* CheckGuardPass(SafetyMonitor* m, const PassReading& reading, const GuardActions& actions,
                           const GuardRecord& after) {
  const int64_t now = Ns(reading.began);
  const Tally did = Count(actions);
  if (reading.command_refused) {
    if (did.commands + did.resends + did.give_ups + did.begins > 0 || did.echoes > 0 || did.ended) {
      return "a refused frame is only noted when it is refused";
    }
    if (m->open && m->commands > 0) {
      m->refused_waiting = true;
      m->refused_at = now;
    }
    return nullptr;
  }
  bool pressed = false;
  int64_t released = 0;
  bool standby_now = false;
  uint32_t echoes_allowed = 0;
  if (!reading.timed_out) {
    // In the loop's order: statuses, the client's bytes, the key.
    if (reading.can.statuses.count > 0 && m->open) {
      m->standby_heard = reading.can.statuses.standby;
      standby_now = m->standby_heard;
    }
    const ControlReading& control = reading.control;
    if (control.client_gone) {
      m->ping_standing = false;
      m->confirmation = false;
    }
    // The guard is idle again from the byte that confirms its press on.
    for (size_t i = 0; i < control.count; ++i) {
      TakeByte(m, control.bytes[i], Ns(control.read_at));
      echoes_allowed += m->ping_standing && (!m->open || m->confirmed) ? 1 : 0;
    }
    if (control.count == 0) echoes_allowed += m->ping_standing && !m->open ? 1 : 0;
    pressed = TakeKey(m, reading.key, &released);
  }
  if (did.echoes > echoes_allowed) return "the client hears 1 only as the answer to a standing 1 while idle";

  const bool opens = pressed && !m->open;
  if (did.begins != (opens ? 1 : 0)) {
    return opens ? "a short press released while idle begins an episode"
                 : "an episode begins only at a short press released while idle; presses during one belong to it";
  }
  if (opens) Open(m, released);
  if (m->open) {
    if (const char* broken = CheckEpisode(m, did, now, standby_now)) return broken;
  } else if (did.commands > 0 || did.warnings > 0 || did.clears > 0 || did.ended) {
    return "no standby command, warning, all-clear or end without an unconfirmed press";
  }
  if ((after.timeout_armed != 0) != m->open) return "a deadline is armed exactly while an episode is open";
  timespec wake;
  const bool waits = GuardWakeTime(after, &wake);
  if (m->open && (!waits || Ns(wake) > m->due)) return "the guard wakes up by the time its next step is due";
  if (m->refused_waiting && (!waits || Ns(wake) > m->refused_at + kLatestRetry)) {
    return "the guard wakes up to send a refused frame again";
  }
  if (!m->open) m->refused_waiting = false;
  return nullptr;
}
