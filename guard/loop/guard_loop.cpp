#include "guard/loop/guard_loop.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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
#include "recorder/flight_recorder.h"

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

// A command that could not go, for the record, in the episode and the flight.
void NoteNotSent(GuardLoop* loop, const ApCommandResult& result, timespec now) {
  NoteStandbyCommand(&loop->episode, result, HalGetLinkState(0), now);
  RecordEvent(FlightCommandNotSent, loop->episode.trouble, result.error, now);
}

// Sends what is left of the command under way, frame by frame. A frame
// the full transmit queue refuses stays next in line, and the decisions are
// told, to have it sent again; any other refusal ends the command.
void SendCommandFrames(GuardLoop* loop) {
  const timespec now = MonotonicNow();
  while (loop->command.next_frame < kApStandbyFrames) {
    const uint8_t frame = loop->command.next_frame;
    const ApCommandResult result = SendApStandbyFrame(&loop->command);
    if (result.outcome == ApCommandSent) {
      RecordEvent(FlightCommandWritten, frame, loop->command.sequence, now);
      continue;
    }
    RecordEvent(FlightCommandRefused, result.hal_code, result.error, now);
    if (result.hal_code == kHalErrorTransmitFull) {
      loop->command_refused = true;
    } else {
      NoteNotSent(loop, result, now);
      loop->command.next_frame = kApStandbyFrames;
    }
    return;
  }
  NoteCommandWritten(&loop->episode, loop->command.sequence, HalGetLinkState(0), now);
}

// A new command: the one before it is judged (seen on the bus, or not);
// the flight window of the episode, unconfirmed by now, opens.
void StartStandbyCommand(GuardLoop* loop) {
  if (!loop->flight_window) {
    loop->episode.flight = BeginFlightWindow(loop->episode.went_down);
    loop->flight_window = true;
  }
  SettleCommand(&loop->episode, HalGetLinkState(0));
  const ApCommandResult begun = BeginApStandby(&loop->command);
  if (begun.outcome == ApCommandSent) {
    SendCommandFrames(loop);
  } else {
    NoteNotSent(loop, begun, MonotonicNow());
  }
}

// Frames the latest drain read, for the loop to tell a busy bus; every one
// goes to the flight recorder.
int frames_read = 0;

void CountAndRecordFrames(const HalReceived* frames, int count) {
  frames_read += count;
  RecordFrames(frames, count);
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
    ApStatusReport& heard = reading->can.statuses;
    frames_read = 0;
    (void)DrainCanInput(&heard, CountAndRecordFrames);
    loop->can_busy = frames_read > 0;
    reading->can.drained_at = MonotonicNow();
    if (heard.commands_on_bus > 0) NoteCommandOnBus(&loop->episode, heard.last_on_bus);
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

// What the pass read, for the flight recorder.
void RecordReading(const PassReading& reading) {
  for (size_t i = 0; i < reading.control.count; ++i) {
    RecordEvent(FlightControlByte, reading.control.bytes[i], 0, reading.control.read_at);
  }
  const input_event& event = reading.key.event;
  if (reading.key.read && event.type == EV_KEY && (event.value == 0 || event.value == 1)) {
    RecordEvent(event.value == 1 ? FlightKeyDown : FlightKeyUp, event.code, 0, reading.key.read_at);
  }
}

void CarryOut(GuardLoop* loop, const GuardAction& action) {
  switch (action.kind) {
    case ActSendStandby:
      StartStandbyCommand(loop);
      break;
    case ActResendCommand:
      SendCommandFrames(loop);
      break;
    case ActGiveUpCommand:
      loop->command.next_frame = kApStandbyFrames;
      NoteNotSent(loop, {ApCommandRefused, kHalErrorTransmitFull, ENOBUFS}, MonotonicNow());
      break;
    case ActSoundWarning:
      SoundAlarm(kWarningPattern, kWarningPatternSteps);
      loop->episode.warning_started = true;
      RecordEvent(FlightWarningStarted, 0, 0, MonotonicNow());
      break;
    case ActSoundCleared:
      loop->episode.warning_cut_short = SoundAlarm(kClearedPattern, kClearedPatternSteps);
      RecordEvent(FlightAllClearStarted, 0, 0, MonotonicNow());
      break;
    case ActSendEchoes:
      SendControlEchoes(loop->client_fd, action.count);
      break;
    case ActBeginEpisode:
      // An episode that ended in this same pass is told before the next.
      if (loop->episode_ended) TellEpisode(loop);
      BeginEpisode(&loop->episode, action.at, action.read_at, MonotonicNow());
      loop->episode.went_down = action.went_down;
      RecordEvent(FlightEpisodeBegun, 0, 0, action.read_at);
      break;
    case ActEndEpisode:
      SettleCommand(&loop->episode, HalGetLinkState(0));
      EndEpisode(&loop->episode, action.end, action.at);
      loop->episode_ended = true;
      RecordEvent(FlightEpisodeEnded, action.end, 0, MonotonicNow());
      if (loop->flight_window) EndFlightWindow(MonotonicNow());
      loop->flight_window = false;
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
  timespec wake;
  if (!GuardWakeTime(loop->guard, &wake)) return nullptr;
  *left = TimeLeft(*now, wake);
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
  RecordReading(reading);
  GuardActions& actions = loop->last_actions;
  DecideGuardPass(loop->guard, reading, &loop->guard, &actions);
  loop->command_refused = false;
  for (size_t i = 0; i < actions.count; ++i) CarryOut(loop, actions.list[i]);
  // A frame the full transmit queue refused is the decisions' to try again.
  if (loop->command_refused) {
    PassReading refused = {};
    refused.began = *now;
    refused.command_refused = true;
    GuardActions after = {};
    DecideGuardPass(loop->guard, refused, &loop->guard, &after);
    for (size_t i = 0; i < after.count; ++i) CarryOut(loop, after.list[i]);
  }
  TellEpisode(loop);
}

// The flight recorder's pieces go out only while nothing of the guard's is
// due for a while, a few lines at a time and a little apart: a command
// never waits on them, and under SCHED_FIFO the rest of the unit gets the
// processor between them.
constexpr long long kFlightQuietMicroseconds = 50000;
constexpr long long kFlightPieceGapMicroseconds = 2000;
constexpr int kFlightPieceLines = 64;

// Unless the guard commands, the CAN socket is read on the loop's own tick
// rather than at every frame: a busy bus (up to about 1,900 status frames
// a second) then costs a batched read a tick, not a wake-up a frame, and
// the kernel keeps the frames and their stamps meanwhile.
constexpr long long kCanTickMicroseconds = 50000;

// When the recorder wants the loop back for its next piece, if it does.
bool FlightWakeTime(bool guard_waits, timespec guard_wake, timespec now, bool writing, timespec* at) {
  if (!FlightPieceDue(at)) return false;
  if (guard_waits && IsBefore(guard_wake, AddMicroseconds(now, kFlightQuietMicroseconds))) return false;
  if (writing && IsBefore(*at, AddMicroseconds(now, kFlightPieceGapMicroseconds))) {
    *at = AddMicroseconds(now, kFlightPieceGapMicroseconds);
  }
  return true;
}

// Writes a piece; true while more of the flight is to come.
bool WriteFlight(timespec now) {
  const FlightWrite wrote = WriteFlightPiece(now, kFlightPieceLines);
  if (wrote.state == FlightWritten && !wrote.complete) {
    LogLine("Flight %06u is incomplete: the bus said more than the recorder could keep\n",
            static_cast<unsigned>(wrote.number));
  } else if (wrote.state == FlightFailed) {
    LogLine("Flight %06u not written: %s\n", static_cast<unsigned>(wrote.number), std::strerror(wrote.error));
  }
  return wrote.state == FlightWriting;
}

void RunGuardLoop(int key_fd, int can_socket_fd, int listen_fd) {
  static GuardLoop loop;
  loop = NewGuardLoop(key_fd, can_socket_fd, listen_fd);
  timespec now = MonotonicNow();
  Supervise(GuardStatusFacts(&loop, now), now);
  bool writing_flight = false;
  timespec can_read_at = now;
  for (;;) {
    fd_set ready;
    int count = FillGuardSelectSet(&loop, &ready);
    const int timer = SupervisionTimerFd();
    if (timer >= 0) AddToSet(timer, &ready, &count);
    now = MonotonicNow();
    timespec decisions_wake = {0, 0};
    const bool decisions_wait = GuardWakeTime(loop.guard, &decisions_wake);
    // A bus that sent frames since the last read is read on the tick.
    const bool can_ticks = loop.can_fd >= 0 && loop.can_busy && !GuardWantsEveryStatus(loop.guard);
    const timespec can_tick = AddMicroseconds(can_read_at, kCanTickMicroseconds);
    if (can_ticks) FD_CLR(loop.can_fd, &ready);
    timespec flight_wake = {0, 0};
    const bool flight = FlightWakeTime(decisions_wait, decisions_wake, now, writing_flight, &flight_wake);
    bool waits = false;
    timespec wake = {0, 0};
    for (const auto& [on, at] : {std::pair{decisions_wait, decisions_wake}, std::pair{can_ticks, can_tick},
                                 std::pair{flight, flight_wake}}) {
      if (on && (!waits || IsBefore(at, wake))) wake = at;
      waits = waits || on;
    }
    timeval left = waits ? TimeLeft(now, wake) : timeval{0, 0};
    const int result = select(count, &ready, nullptr, nullptr, waits ? &left : nullptr);
    // An interruption (a signal handled, a tracer attaching) is no failure:
    // the deadline stands, so select is asked again.
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      LogCallFailure("select()");
      std::exit(1);
    }
    now = MonotonicNow();
    // The supervision's tick is no event of the guard's: alone, it leaves
    // the guard alone. Nor is the recorder's time.
    int guard_ready = result;
    if (result > 0 && timer >= 0 && FD_ISSET(timer, &ready)) {
      ServeSupervisionTimer();
      guard_ready -= 1;
    }
    const bool decisions_due = decisions_wait && !IsBefore(now, decisions_wake);
    // The tick reads the CAN socket as though select had found it ready,
    // and so does any pass between ticks: its decisions see the bus as it is.
    if (can_ticks && (guard_ready > 0 || decisions_due || !IsBefore(now, can_tick))) {
      FD_SET(loop.can_fd, &ready);
      guard_ready += 1;
    }
    if (guard_ready > 0 && loop.can_fd >= 0 && FD_ISSET(loop.can_fd, &ready)) can_read_at = now;
    if (guard_ready > 0 || decisions_due) {
      RunGuardPass(&loop, guard_ready, &ready, &now);
    } else if (flight && !IsBefore(now, flight_wake)) {
      writing_flight = WriteFlight(now);
    }
    Supervise(GuardStatusFacts(&loop, now), now);
  }
}
