#include "guard/loop/guard_loop.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "alarm/alarm.h"
#include "can/autopilot.h"
#include "common/log_line.h"
#include "common/monotonic_time.h"
#include "guard/control/control_socket.h"
#include "guard/episode/episode_log.h"
#include "guard/episode/episode_record.h"
#include "guard/guard.h"
#include "guard/keypad/key_device.h"
#include "guard/keypad/key_input.h"
#include "guard/supervision/supervision.h"
#include "guard/supervision/supervision_timer.h"

namespace {

// A pass owes at most one echo for each byte it read.
static_assert(kControlBatchBytes <= kMaxControlEchoes, "one echo per byte read must fit");

void AddToSet(int fd, fd_set* read_set, int* count) {
  FD_SET(fd, read_set);
  if (fd + 1 > *count) *count = fd + 1;
}

// What the pass has to tell of its episode, once its commands are out.
void TellEpisode(GuardLoop* loop) {
  TellCommandTrouble(&loop->episode);
  if (!loop->episode_ended) return;
  loop->episode_ended = false;
  RecordEpisode(loop->episode);
}

void SendStandbyCommand(GuardLoop* loop) {
  const ApCommandResult result = SendApStandby();
  // Asked only when the command did not go: a link that is not up is the
  // cause behind any other.
  const HalLinkState link = result.outcome != ApCommandSent ? HalGetLinkState(0) : HalLinkUp;
  NoteStandbyCommand(&loop->episode, result, link, MonotonicNow());
}

// Takes everything the client has sent, up to a batch, in one read.
void ReadControlClient(GuardLoop* loop, ControlReading* control) {
  control->count = ReadControlBytes(&loop->client_fd, control->bytes, sizeof control->bytes);
  control->client_gone = control->count == 0;
  if (!control->client_gone) control->read_at = MonotonicNow();
}

// One event record, or the device's loss; or, while it is gone, its return.
void ReadKeyDevice(GuardLoop* loop, const fd_set* ready, KeyReading* key) {
  if (loop->key_fd < 0) {
    const int watch = KeyDeviceWatchFd();
    if (watch >= 0 && FD_ISSET(watch, ready)) loop->key_fd = ServeKeyDeviceWatch();
    return;
  }
  if (!FD_ISSET(loop->key_fd, ready)) return;
  const KeyRead read = ReadKeyEvent(loop->key_fd, &key->event);
  if (read == KeyReadEvent) {
    key->read = true;
    key->read_at = MonotonicNow();
    key->stamps_monotonic = KeyStampsMonotonic();
  } else if (read == KeyReadGone) {
    key->device_lost = true;
    loop->key_fd = DropKeyDevice(loop->key_fd);
  }
}

void ReadReadyDescriptors(GuardLoop* loop, const fd_set* ready, PassReading* reading) {
  // Descriptor 0 is as good as any other: a daemon started with standard
  // input closed may be given it for a socket.
  if (loop->can_fd >= 0 && FD_ISSET(loop->can_fd, ready)) {
    (void)DrainCanInput(&reading->can.statuses);
    reading->can.drained_at = MonotonicNow();
  }

  if (loop->listen_fd >= 0 && FD_ISSET(loop->listen_fd, ready)) {
    const int client = AcceptControlClient(loop->listen_fd);
    if (client >= 0) {
      if (loop->client_fd >= 0) close(loop->client_fd);
      loop->client_fd = client;
    }
  }

  // A client accepted just now is not in the set: it is read from the next
  // pass on.
  if (loop->client_fd >= 0 && FD_ISSET(loop->client_fd, ready)) ReadControlClient(loop, &reading->control);

  ReadKeyDevice(loop, ready, &reading->key);
}

void CarryOut(GuardLoop* loop, const GuardAction& action) {
  switch (action.kind) {
    case ActSendStandby:
      SendStandbyCommand(loop);
      break;
    case ActSoundWarning:
      SoundAlarm(kWarningPattern, kWarningPatternSteps);
      loop->episode.warning_started = true;
      break;
    case ActSoundCleared:
      loop->episode.warning_cut_short = SoundAlarm(kClearedPattern, kClearedPatternSteps);
      break;
    case ActSendEchoes:
      SendControlEchoes(loop->client_fd, action.count);
      break;
    case ActBeginEpisode:
      // An episode that ended in this same pass is told before the next.
      if (loop->episode_ended) TellEpisode(loop);
      BeginEpisode(&loop->episode, action.at, action.read_at, MonotonicNow());
      break;
    case ActEndEpisode:
      EndEpisode(&loop->episode, action.end, action.at);
      loop->episode_ended = true;
      break;
    case ActSayUnexpectedTimeout:
      // "expected" though the state is an unexpected one: log readers match
      // the text, so it is kept word for word.
      LogLine("Timed out in an expected state %d\n", static_cast<int>(action.state));
      break;
  }
}

}  // namespace

GuardLoop NewGuardLoop(int key_fd, int can_socket_fd, int listen_fd) {
  GuardLoop loop = {};
  loop.guard = NewGuardRecord();
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

timeval* GuardSelectTimeout(const GuardLoop* loop, const timespec* now, timeval* left) {
  if (!loop->guard.timeout_armed) return nullptr;
  *left = TimeLeft(*now, loop->guard.deadline);
  return left;
}

StatusFacts GuardStatusFacts(const GuardLoop* loop, timespec now) {
  StatusFacts facts = {};
  facts.state = loop->guard.state;
  facts.keypad_present = loop->key_fd >= 0 ? 1 : 0;
  facts.link = HalGetLinkState(0);
  facts.autopilot = autopilot_address;
  facts.command_source = command_source_address;
  timespec last_heard;
  facts.autopilot_heard = AutopilotPresence(now, &last_heard);
  facts.silent_since_us = facts.autopilot_heard == ApSilent ? TimespecMicroseconds(last_heard) : 0;
  facts.ui = loop->listen_fd < 0   ? StatusUiNoSocket
             : loop->client_fd >= 0 ? StatusUiConnected
                                    : StatusUiNone;
  facts.episodes = EpisodesRecorded();
  facts.last_episode = facts.episodes > 0 ? LastEpisodeSummary() : nullptr;
  return facts;
}

void RunGuardPass(GuardLoop* loop, int select_result, const fd_set* ready, const timespec* now) {
  PassReading& reading = loop->last_reading;
  reading = {};
  reading.began = *now;
  reading.timed_out = select_result == 0;
  if (!reading.timed_out) ReadReadyDescriptors(loop, ready, &reading);
  GuardActions& actions = loop->last_actions;
  DecideGuardPass(loop->guard, reading, &loop->guard, &actions);
  for (size_t i = 0; i < actions.count; ++i) CarryOut(loop, actions.list[i]);
  TellEpisode(loop);
}

void RunGuardLoop(int key_fd, int can_socket_fd, int listen_fd) {
  static GuardLoop loop;
  loop = NewGuardLoop(key_fd, can_socket_fd, listen_fd);
  timespec now = MonotonicNow();
  Supervise(GuardStatusFacts(&loop, now), now);
  for (;;) {
    fd_set ready;
    int count = FillGuardSelectSet(&loop, &ready);
    const int timer = SupervisionTimerFd();
    if (timer >= 0) AddToSet(timer, &ready, &count);
    now = MonotonicNow();
    timeval left;
    const int result = select(count, &ready, nullptr, nullptr, GuardSelectTimeout(&loop, &now, &left));
    // An interruption (a signal handled, a tracer attaching) is no failure:
    // the deadline stands, so select is asked again.
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      LogCallFailure("select()");
      std::exit(1);
    }
    now = MonotonicNow();
    // The supervision's tick is no event of the guard's: alone, it leaves
    // the guard alone.
    int guard_ready = result;
    if (result > 0 && timer >= 0 && FD_ISSET(timer, &ready)) {
      ServeSupervisionTimer();
      guard_ready -= 1;
    }
    if (result == 0 || guard_ready > 0) RunGuardPass(&loop, guard_ready, &ready, &now);
    Supervise(GuardStatusFacts(&loop, now), now);
  }
}
