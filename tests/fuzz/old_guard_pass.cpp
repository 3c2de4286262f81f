// A copy of the guard loop's pass as it was (guard_loop.cpp, key_input.cpp
// and autopilot.cpp's standby flag), its neighbours renamed to the fuzz
// target's; see old_guard_pass.h.
#include "tests/fuzz/old_guard_pass.h"

#include <linux/input.h>
#include <unistd.h>

#include <cerrno>

#include "can/can_hal.h"
#include "common/monotonic_time.h"
#include "guard/control_socket.h"
#include "guard/key_device.h"

namespace old_guard {

ShortPressDetector key_device_detector = {{0, 0}, {0, 0}, false};
int ap_standby = 0;

void SetKeyStampsMonotonic(bool monotonic) { key_device_detector.stamps_monotonic = monotonic; }

void ResetKeyInput() { key_device_detector = {{0, 0}, {0, 0}, false}; }

namespace {

int IsApStandby() { return ap_standby; }

// Key codes of the guarded autopilot key; the keypad reports it under either.
constexpr unsigned kGuardedKeyCodes[] = {KEY_A, KEY_L};

constexpr int kKeyUp = 0;
constexpr int kKeyDown = 1;
constexpr int kKeyDeviceGone = -1;

bool IsGuardedKey(unsigned code) {
  for (unsigned guarded : kGuardedKeyCodes) {
    if (code == guarded) return true;
  }
  return false;
}

int DetectShortPress(ShortPressDetector* detector, const input_event& event, timespec now) {
  if (event.type != EV_KEY || !IsGuardedKey(event.code)) return 0;
  if (event.value == kKeyDown) {
    detector->press_time = now;
    detector->down_time = now;
    const timespec stamp = {static_cast<time_t>(event.input_event_sec),
                            static_cast<long>(event.input_event_usec) * kNanosecondsPerMicrosecond};
    if (detector->stamps_monotonic && IsBefore(stamp, now)) detector->down_time = stamp;
    return 0;
  }
  if (event.value == kKeyUp) return TimespecDiff(detector->press_time, now).tv_sec <= 0 ? 1 : 0;
  return 0;  // auto-repeat and anything else
}

timespec LastKeyDownTime() { return key_device_detector.down_time; }

int ReadKeyEvent(int key_fd) {
  input_event event;
  const ssize_t got = read(key_fd, &event, sizeof event);
  if (got != static_cast<ssize_t>(sizeof event)) {
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return kKeyDeviceGone;
    }
    return 0;
  }
  return DetectShortPress(&key_device_detector, event, MonotonicNow());
}

// A window starts now.
void LoadWindow(GuardLoop* loop, long long microseconds) {
  loop->deadline = AddMicroseconds(MonotonicNow(), microseconds);
}

// An interval starts where the one before it ended, so a late pass does not
// shift every later command; after a stall longer than the interval it
// starts now rather than firing at once to catch up.
void LoadNextInterval(GuardLoop* loop) {
  const timespec now = MonotonicNow();
  timespec next = AddMicroseconds(loop->deadline, kStandbyIntervalMicroseconds);
  if (IsBefore(next, now)) next = AddMicroseconds(now, kStandbyIntervalMicroseconds);
  loop->deadline = next;
}

void AddToSet(int fd, fd_set* read_set, int* count) {
  FD_SET(fd, read_set);
  if (fd + 1 > *count) *count = fd + 1;
}

void EndOfEpisode(GuardLoop* loop, EpisodeEnd end, timespec at) {
  EndEpisode(&loop->episode, end, at);
  loop->episode_ended = true;
}

// What the pass has to tell of its episode, once its commands are out.
void TellEpisode(GuardLoop* loop) {
  OldTellCommandTrouble(&loop->episode);
  if (!loop->episode_ended) return;
  loop->episode_ended = false;
  OldRecordEpisode(loop->episode);
}

void SendStandbyCommand(GuardLoop* loop) {
  const ApCommandResult result = OldSendApStandby();
  // Asked only when the command did not go: a link that is not up is the
  // cause behind any other.
  const HalLinkState link = result.outcome != ApCommandSent ? HalGetLinkState(0) : HalLinkUp;
  NoteStandbyCommand(&loop->episode, result, link, MonotonicNow());
}

void HandleTimeout(GuardLoop* loop) {
  switch (loop->state) {
    case GuardAwaitConfirm:
      loop->state = GuardStandbySent;
      LoadNextInterval(loop);
      SendStandbyCommand(loop);
      loop->timeout_armed = 1;
      break;
    case GuardStandbySent:
      loop->state = GuardAlarming;
      loop->retry_count += 1;
      LoadNextInterval(loop);
      // The command first: forking the alarm child takes milliseconds the
      // command's deadline cannot spare.
      SendStandbyCommand(loop);
      OldSoundAlarm(kWarningPattern, kWarningPatternSteps);
      loop->episode.warning_started = true;
      break;
    case GuardAlarming:
      loop->retry_count += 1;
      if (loop->retry_count >= kStandbyRetryLimit) {
        loop->state = GuardIdle;
        loop->timeout_armed = 0;
        loop->retry_count = 0;
        EndOfEpisode(loop, EpisodeGaveUp, MonotonicNow());
      } else {
        LoadNextInterval(loop);
        SendStandbyCommand(loop);
      }
      break;
    default:
      // "expected" though the state is an unexpected one: log readers match
      // the text, so it is kept word for word.
      OldLogLine("Timed out in an expected state %d\n", static_cast<int>(loop->state));
      break;
  }
}

// What the byte in force does in the state in force: a ping is answered
// while idle; a confirmation ends the window and is used up by the press it
// confirms (a UI that confirmed once and then froze must not confirm every
// later press); one that comes while the guard sends belongs to the press it
// was too late for and is used up there. Nothing else, in any state.
static_assert(kControlBatchBytes <= kMaxControlEchoes, "one echo per byte read must fit");

void ActOnControlByte(GuardLoop* loop) {
  if (loop->state == GuardIdle && loop->last_control_byte == ControlPing) {
    loop->echoes_due += 1;
  } else if (loop->state != GuardIdle && loop->last_control_byte == ControlConfirm) {
    if (loop->state == GuardAwaitConfirm) {
      loop->timeout_armed = 0;
      loop->state = GuardIdle;
      EndOfEpisode(loop, EpisodeConfirmed, loop->byte_read_at);
    }
    loop->last_control_byte = 0;
  }
}

// Takes everything waiting in one read. Each byte but the last acts as it
// would in a pass of its own; the last stays in force for the pass's
// wake-up action, so a flood costs the guard one pass, not one per byte.
void ServeControlClient(GuardLoop* loop) {
  uint8_t bytes[kControlBatchBytes];
  const size_t got = ReadControlBytes(&loop->client_fd, bytes, sizeof bytes);
  if (got == 0) {
    loop->last_control_byte = 0;
    return;
  }
  loop->byte_read_at = MonotonicNow();
  for (size_t i = 0; i + 1 < got; ++i) {
    loop->last_control_byte = bytes[i];
    ActOnControlByte(loop);
  }
  loop->last_control_byte = bytes[got - 1];
}

// Returns 1 when the key event read in this pass completed a short press.
int ServeReadyDescriptors(GuardLoop* loop, const fd_set* ready) {
  // Descriptor 0 is as good as any other: a daemon started with standard
  // input closed may be given it for a socket.
  if (loop->can_fd >= 0 && FD_ISSET(loop->can_fd, ready)) OldDrainCanInput();

  if (loop->listen_fd >= 0 && FD_ISSET(loop->listen_fd, ready)) {
    const int client = AcceptControlClient(loop->listen_fd);
    if (client >= 0) {
      if (loop->client_fd >= 0) close(loop->client_fd);
      loop->client_fd = client;
    }
  }

  // A client accepted just now is not in the set: it is read from the next
  // pass on.
  if (loop->client_fd >= 0 && FD_ISSET(loop->client_fd, ready)) ServeControlClient(loop);

  if (loop->key_fd >= 0) {
    if (!FD_ISSET(loop->key_fd, ready)) return 0;
    const int key = ReadKeyEvent(loop->key_fd);
    if (key != kKeyDeviceGone) return key;
    loop->key_fd = DropKeyDevice(loop->key_fd);
  } else {
    const int watch = KeyDeviceWatchFd();
    if (watch >= 0 && FD_ISSET(watch, ready)) loop->key_fd = ServeKeyDeviceWatch();
  }
  return 0;
}

void RunWakeUpAction(GuardLoop* loop, int short_press) {
  switch (loop->state) {
    case GuardIdle:
      ActOnControlByte(loop);
      if (short_press != 1) break;
      // An episode that ended in this same pass is told before the next.
      if (loop->episode_ended) TellEpisode(loop);
      BeginEpisode(&loop->episode, MonotonicNow());
      loop->state = GuardAwaitConfirm;
      LoadWindow(loop, kConfirmWindowSeconds * kMicrosecondsPerSecond);
      loop->timeout_armed = 1;
      // A confirmation sent ahead, by a UI acting on the key-down, counts
      // for this press at once. One read before the key went down was not
      // sent for it (a stray byte, the late answer to an earlier press, a
      // displaced client's last word) and is dropped.
      if (loop->last_control_byte == ControlConfirm &&
          IsBefore(loop->byte_read_at, LastKeyDownTime())) {
        loop->last_control_byte = 0;
      }
      ActOnControlByte(loop);
      break;
    case GuardAwaitConfirm:
      // Nothing else here: a further press does not restart the window.
      ActOnControlByte(loop);
      break;
    case GuardStandbySent:
    case GuardAlarming:
      ActOnControlByte(loop);
      if (IsApStandby() != 0) {
        loop->timeout_armed = 0;
        loop->state = GuardIdle;
        loop->retry_count = 0;
        EndOfEpisode(loop, EpisodeStandby, MonotonicNow());
        loop->episode.warning_cut_short = OldSoundAlarm(kClearedPattern, kClearedPatternSteps);
      }
      break;
  }
}

}  // namespace

GuardLoop NewGuardLoop(int key_fd, int can_socket_fd, int listen_fd) {
  GuardLoop loop = {};
  loop.state = GuardIdle;
  loop.timeout_armed = 0;
  loop.retry_count = 0;
  loop.last_control_byte = 0;
  loop.byte_read_at = {0, 0};
  loop.echoes_due = 0;
  loop.client_fd = -1;
  loop.listen_fd = listen_fd;
  loop.key_fd = key_fd;
  loop.can_fd = can_socket_fd;
  loop.episode = {};
  loop.episode_ended = false;
  return loop;
}

int FillGuardSelectSet(const GuardLoop* loop, fd_set* read_set) {
  FD_ZERO(read_set);
  int count = 0;
  if (loop->key_fd >= 0) {
    AddToSet(loop->key_fd, read_set, &count);
  } else if (KeyDeviceWatchFd() >= 0) {
    AddToSet(KeyDeviceWatchFd(), read_set, &count);
  }
  if (loop->can_fd >= 0) AddToSet(loop->can_fd, read_set, &count);
  if (loop->listen_fd >= 0) AddToSet(loop->listen_fd, read_set, &count);
  if (loop->client_fd >= 0) AddToSet(loop->client_fd, read_set, &count);
  return count;
}

void RunGuardPass(GuardLoop* loop, int select_result, const fd_set* ready, const timespec* now) {
  if (select_result == 0) {
    HandleTimeout(loop);
  } else {
    RunWakeUpAction(loop, ServeReadyDescriptors(loop, ready));
    SendControlEchoes(loop->client_fd, loop->echoes_due);
    loop->echoes_due = 0;
    if (loop->timeout_armed && !IsBefore(*now, loop->deadline)) HandleTimeout(loop);
  }
  TellEpisode(loop);
}

}  // namespace old_guard
