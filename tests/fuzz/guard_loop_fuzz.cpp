// The guard state machine driven by an arbitrary sequence of events: key
// events (alone or as a press held for a while, each stamped with the moment
// the key moved, which may be a while before the guard reads it, and the UI
// answering a key-down before, with or after the guard reads it), control
// bytes from a client,
// clients connecting and leaving, CAN wake-ups with the autopilot reporting
// standby or not, and time passing. The key device, the CAN descriptor and
// the control socket are real pipes and sockets; the CAN link and the alarm
// are the recorders of the loop's own tests; time is virtual.
//
// Select is modelled: an event makes its descriptor ready and one wake-up
// pass serves it at once; waiting d runs the time-out pass at each deadline
// that falls within d (the fuzzer may make it late, as a loaded machine
// would, or bring a CAN frame with it). Every pass is checked against what
// the guard promises, and each run closes every descriptor it opened.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <linux/input.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "can/can_hal.h"
#include "common/log_line.h"
#include "guard/control_socket.h"
#include "guard/guard_loop.h"
#include "guard/key_device.h"
#include "guard/tests/recording_neighbours.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/virtual_clock.h"

namespace {

constexpr int64_t kSecond = kNanosecondsPerSecond;
constexpr int64_t kMicrosecond = 1000;

// Made once: the listening socket outlives the runs, and every other
// descriptor a run opens is closed at its end.
char socket_dir[] = "/tmp/guard_loop_fuzz.XXXXXX";
std::string socket_path;
int listen_fd = -1;
// Where the guard's lines come out: the read end of a pipe of its own.
int guard_lines = -1;

// Which of the first 32 descriptors are open: a run must leave them as it
// found them.
uint32_t OpenDescriptors() {
  uint32_t open = 0;
  for (int fd = 0; fd < 32; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) open |= uint32_t{1} << fd;
  }
  return open;
}

void RemoveSocketDir() {
  unlink(socket_path.c_str());
  rmdir(socket_dir);
}

// One press of the guarded key, from its short press to the guard's return
// to idle.
struct Episode {
  bool active = false;
  int64_t press_ns = 0;
  int standby_commands = 0;
  int warnings = 0;
};

struct Harness {
  GuardLoop loop = {};
  int key_write = -1;
  int can_write = -1;
  int client = -1;  // our end of the client the guard holds, -1 when none
  // The guard's rules as the harness keeps them: when a guarded key-down was
  // last read and when that key went down by its stamp, the control byte in
  // force and when it was read.
  int64_t key_down_ns = 0;
  int64_t went_down_ns = 0;
  uint8_t byte_in_force = 0;
  int64_t byte_read_ns = 0;
  Episode episode;
};

Harness h;

enum PassKind : int {
  PassTimeout,
  PassKey,  // a key event, and the client's bytes when there are any
  PassClientBytes,
  PassCan,
  PassCanAtDeadline,  // a frame and the deadline at once: the wake-up pass runs out of time
  PassConnect,
  PassLeave,
};

struct PassFacts {
  PassKind kind = PassTimeout;
  GuardState before = GuardIdle;  // the state the pass found
  bool short_press = false;       // a key event that completes a short press
  // What the client sent. Fixed, like every record of a pass: with
  // AddressSanitizer's quarantine, millions of tiny allocations cost
  // far more memory than they hold.
  uint8_t bytes[8] = {};
  size_t byte_count = 0;
};

PassFacts Facts(PassKind kind) {
  PassFacts facts;
  facts.kind = kind;
  facts.before = h.loop.guard.state;
  return facts;
}

int Count(const std::string& call) {
  int n = 0;
  for (const std::string& c : neighbour_calls) n += c == call ? 1 : 0;
  return n;
}

// Echo bytes the client finds waiting; they are all pings.
size_t ReceiveEchoes() {
  if (h.client < 0) return 0;
  size_t echoes = 0;
  uint8_t bytes[512];
  ssize_t got;
  while ((got = recv(h.client, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) {
    for (ssize_t i = 0; i < got; ++i) FUZZ_CHECK(bytes[i] == ControlPing, "the guard only echoes pings");
    echoes += static_cast<size_t>(got);
  }
  return echoes;
}

// What one pass must have done, given what came in and the state it found.
void CheckPass(const PassFacts& pass) {
  const GuardLoop& loop = h.loop;
  const GuardState after = loop.guard.state;
  FUZZ_CHECK((loop.guard.timeout_armed != 0) == (after != GuardIdle),
             "the time-out is armed exactly when the guard is not idle");
  for (const std::string& call : neighbour_calls) {
    FUZZ_CHECK(call.rfind("other", 0) != 0, "the guard sounds only its two patterns");
  }

  // The byte in force, as the guard's rules leave it: the client's bytes
  // act in turn, the last at the wake-up, after the key event. A ping is
  // answered while the guard is idle; a 2 confirms the press in its window,
  // or the press whose key went down before the 2 was read, and is used up
  // by the press it confirms or by the episode it came too late for; a 2
  // read before the key went down is dropped at that press.
  size_t expected_echoes = 0;
  GuardState state = pass.before;
  bool confirmed = false;
  const auto act = [&] {
    if (state == GuardIdle && h.byte_in_force == ControlPing) {
      expected_echoes += 1;
    } else if (state != GuardIdle && h.byte_in_force == ControlConfirm) {
      if (state == GuardAwaitConfirm) {
        state = GuardIdle;
        confirmed = true;
      }
      h.byte_in_force = 0;
    }
  };
  if (pass.kind == PassLeave) h.byte_in_force = 0;
  if (pass.byte_count > 0) h.byte_read_ns = virtual_now_ns;
  for (size_t i = 0; i < pass.byte_count; ++i) {
    h.byte_in_force = pass.bytes[i];
    if (i + 1 < pass.byte_count) act();
  }
  if (pass.kind != PassTimeout) {
    act();
    if (state == GuardIdle && pass.short_press) {
      state = GuardAwaitConfirm;
      if (h.byte_in_force == ControlConfirm && h.byte_read_ns < h.went_down_ns) h.byte_in_force = 0;
      act();
    }
  }
  FUZZ_CHECK(ReceiveEchoes() == expected_echoes, "a ping is answered exactly while the guard is idle");
  FUZZ_CHECK(loop.guard.last_control_byte == h.byte_in_force,
             "a 2 is used up by its press or its episode, and one read before a key-down dropped");
  if (pass.before == GuardAwaitConfirm && pass.byte_count > 0) {
    FUZZ_CHECK((after == GuardIdle) == confirmed, "a confirmation, and only one, ends the window");
  }

  // A short press opens the window unless a confirmation sent for it is in
  // force; nothing else leaves idle.
  if (pass.before == GuardIdle && after != GuardIdle) {
    FUZZ_CHECK(pass.short_press, "only a short press leaves idle");
    FUZZ_CHECK(after == GuardAwaitConfirm, "a press opens the confirmation window");
    h.episode = Episode{true, virtual_now_ns, 0, 0};
  }
  if (pass.short_press && pass.before == GuardIdle) {
    FUZZ_CHECK((after == GuardIdle) == confirmed,
               "a press is confirmed at once exactly by a 2 read after its key went down");
  }

  const int commands = Count("standby");
  const int warnings = Count("warning 13");
  const int cleared = Count("cleared 1");
  if (commands > 0) {
    FUZZ_CHECK(h.episode.active, "no command without a short press before it");
    FUZZ_CHECK(pass.kind == PassTimeout || pass.kind == PassCanAtDeadline,
               "commands go out on time-outs only");
    FUZZ_CHECK(virtual_now_ns - h.episode.press_ns >= 3 * kSecond,
               "no command before the confirmation window has passed");
    FUZZ_CHECK(commands == 1, "one command a time-out");
  }
  h.episode.standby_commands += commands;
  h.episode.warnings += warnings;
  FUZZ_CHECK(h.episode.standby_commands <= kStandbyRetryLimit, "at most 8 commands in an episode");
  FUZZ_CHECK(h.episode.warnings <= 1, "the warning sounds at most once in an episode");
  FUZZ_CHECK(warnings == 0 || h.episode.standby_commands >= 2,
             "the warning comes with the second command");

  // The autopilot's standby, known at a wake-up of a sending guard, ends the
  // episode with the all-clear; nothing else sounds it.
  const bool sending = pass.before == GuardStandbySent || pass.before == GuardAlarming;
  const bool clears = pass.kind != PassTimeout && sending && neighbour_ap_standby != 0;
  FUZZ_CHECK(cleared == (clears ? 1 : 0), "the all-clear sounds exactly when standby is reported");
  if (clears) FUZZ_CHECK(after == GuardIdle, "standby reported ends the episode");

  // One record for each episode, when it ends, saying how it ended.
  static char lines[8192];
  const ssize_t got = read(guard_lines, lines, sizeof lines - 1);
  lines[got > 0 ? got : 0] = '\0';
  int records = 0;
  for (const char* at = lines; (at = std::strstr(at, "Press of the autopilot key released at ")) != nullptr; ++at) {
    records += 1;
  }
  const char* told = nullptr;
  if (pass.short_press && pass.before == GuardIdle && after == GuardIdle) told = ": confirmed by the UI ";
  if (h.episode.active && after == GuardIdle) {
    told = pass.before == GuardAwaitConfirm ? ": confirmed by the UI after "
           : clears                          ? "; the autopilot reported standby "
                                             : "; given up after 8 commands with no standby report";
  }
  FUZZ_CHECK(records == (told != nullptr ? 1 : 0), "one record for each episode, when it ends");
  if (told != nullptr) FUZZ_CHECK(std::strstr(lines, told) != nullptr, "the record tells how it ended");

  if (h.episode.active && after == GuardIdle) {
    if (pass.before == GuardAwaitConfirm) {
      FUZZ_CHECK(h.episode.standby_commands == 0, "a confirmed press sends nothing");
    } else if (!clears) {
      FUZZ_CHECK(h.episode.standby_commands == kStandbyRetryLimit,
                 "the guard gives up after its 8th command");
    }
    h.episode = Episode{};
  }
  neighbour_calls.clear();
}

// libFuzzer's timer signal has a handler, which cuts system calls short
// (EINTR): a select of the harness's, a read of the guard's, taken for a
// client gone. The daemon installs no handler and never sees that, so the
// signal waits while the guard's calls run.
sigset_t SignalsHeld() {
  sigset_t timer;
  sigset_t saved;
  sigemptyset(&timer);
  sigaddset(&timer, SIGALRM);
  FUZZ_CHECK(pthread_sigmask(SIG_BLOCK, &timer, &saved) == 0, "the timer signal held");
  return saved;
}

void SignalsReleased(const sigset_t& saved) {
  FUZZ_CHECK(pthread_sigmask(SIG_SETMASK, &saved, nullptr) == 0, "the timer signal released");
}

// A wake-up pass over what select finds ready now.
void WakeUp(PassFacts pass) {
  const sigset_t saved = SignalsHeld();
  fd_set ready;
  const int count = FillGuardSelectSet(&h.loop, &ready);
  timeval no_wait = {0, 0};
  const int result = select(count, &ready, nullptr, nullptr, &no_wait);
  FUZZ_CHECK(result > 0, "the event made a descriptor ready");
  pass.before = h.loop.guard.state;
  virtual_clock_on = true;
  const timespec now = VirtualNow();
  RunGuardPass(&h.loop, result, &ready, &now);
  virtual_clock_on = false;
  SignalsReleased(saved);
  CheckPass(pass);
}

// Time passes; select runs out at each deadline within it, on time or late
// (a loaded machine), or wakes up for a CAN frame that came just as the
// deadline passed, which the wake-up pass serves before the time-out.
void Wait(int64_t duration_ns, FuzzedDataProvider& input) {
  const int64_t end = virtual_now_ns + duration_ns;
  while (h.loop.guard.timeout_armed && ToNanoseconds(h.loop.guard.deadline) <= end) {
    const int how = input.ConsumeIntegralInRange<int>(0, 2);
    const int64_t late = how == 1 ? input.ConsumeIntegralInRange<int64_t>(0, 600000) : 0;
    const int64_t served = ToNanoseconds(h.loop.guard.deadline);
    const int64_t at = served + late * kMicrosecond;
    if (at > virtual_now_ns) virtual_now_ns = at;
    if (how == 2) {
      FUZZ_CHECK(write(h.can_write, "f", 1) == 1, "a frame for the CAN descriptor");
      WakeUp(Facts(PassCanAtDeadline));
    } else {
      const PassFacts pass = Facts(PassTimeout);
      fd_set none;
      FD_ZERO(&none);
      const sigset_t saved = SignalsHeld();
      virtual_clock_on = true;
      const timespec now = VirtualNow();
      RunGuardPass(&h.loop, 0, &none, &now);
      virtual_clock_on = false;
      SignalsReleased(saved);
      CheckPass(pass);
    }
    // The commands keep to a 250 ms schedule: a late time-out delays none
    // of the later ones, and after a stall the schedule starts again from
    // now instead of catching up with commands at once.
    if (h.loop.guard.timeout_armed) {
      const int64_t next = ToNanoseconds(h.loop.guard.deadline);
      const int64_t interval = kStandbyIntervalMicroseconds * kMicrosecond;
      FUZZ_CHECK(next > virtual_now_ns && next <= virtual_now_ns + interval && next >= served + interval,
                 "the next command is due 250 ms after the last one was, and not yet");
    }
  }
  if (end > virtual_now_ns) virtual_now_ns = end;
}

// Writes a key event stamped lag before now, as the moment the key moved;
// the pass that reads it is the caller's.
void PutKeyEvent(PassFacts* pass, uint16_t type, uint16_t code, int32_t value, int64_t lag_ns) {
  const int64_t stamp = (virtual_now_ns - lag_ns) / kMicrosecond * kMicrosecond;
  input_event event = {};
  event.input_event_sec = static_cast<decltype(event.input_event_sec)>(stamp / kSecond);
  event.input_event_usec = static_cast<decltype(event.input_event_usec)>(stamp % kSecond / kMicrosecond);
  event.type = type;
  event.code = code;
  event.value = value;
  FUZZ_CHECK(write(h.key_write, &event, sizeof event) == static_cast<ssize_t>(sizeof event),
             "the key event is written");
  pass->kind = PassKey;
  if (type == EV_KEY && (code == KEY_A || code == KEY_L)) {
    if (value == 1) {
      h.key_down_ns = virtual_now_ns;
      h.went_down_ns = stamp < virtual_now_ns ? stamp : virtual_now_ns;
    }
    pass->short_press = value == 0 && virtual_now_ns - h.key_down_ns < kSecond;
  }
}

void KeyEvent(uint16_t type, uint16_t code, int32_t value, int64_t lag_ns) {
  PassFacts pass = Facts(PassKey);
  PutKeyEvent(&pass, type, code, value, lag_ns);
  WakeUp(pass);
}

// How long a key event waited before the guard read it: mostly not at all.
int64_t KeyLag(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? 0 : input.ConsumeIntegralInRange<int64_t>(-1000, 2000000) * kMicrosecond;
}

uint16_t KeyCode(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      return KEY_A;
    case 1:
      return KEY_L;
    default:
      return input.ConsumeIntegral<uint16_t>();
  }
}

void PutClientBytes(PassFacts* pass, const uint8_t* bytes, size_t count) {
  std::copy(bytes, bytes + count, pass->bytes);
  pass->byte_count = count;
  FUZZ_CHECK(send(h.client, bytes, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count),
             "the client's bytes are sent");
}

void ClientSends(FuzzedDataProvider& input) {
  if (h.client < 0) return;
  uint8_t bytes[sizeof PassFacts::bytes];
  const size_t count = input.ConsumeIntegralInRange<size_t>(1, sizeof bytes);
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = input.ConsumeIntegralInRange<uint8_t>(0, 3);
    if (byte == 3) byte = input.ConsumeIntegral<uint8_t>();
    bytes[i] = byte;
  }
  PassFacts pass = Facts(PassClientBytes);
  PutClientBytes(&pass, bytes, count);
  WakeUp(pass);
}

// When a UI acting on the key-down sends its 2: not at all, or read by the
// guard a pass before the key-down, in the same pass or after it.
enum UiAnswer : int {
  UiSilent,
  UiBeforeKeyDown,
  UiWithKeyDown,
  UiAfterKeyDown,
  kLastUiAnswer = UiAfterKeyDown,
};

// A press of code held for hold_ns, its key-down waiting lag_ns to be read.
void Press(uint16_t code, UiAnswer ui, int64_t lag_ns, int64_t hold_ns, FuzzedDataProvider& input) {
  static constexpr uint8_t kConfirm[] = {ControlConfirm};
  if (h.client < 0) ui = UiSilent;
  if (ui == UiBeforeKeyDown) {
    // The key went down, the UI answered, and the guard read the answer
    // before the key-down, halfway through the time the key-down waited.
    PassFacts pass = Facts(PassClientBytes);
    PutClientBytes(&pass, kConfirm, 1);
    WakeUp(pass);
    if (lag_ns > 0) Wait(lag_ns / 2, input);
  }
  PassFacts down = Facts(PassKey);
  if (ui == UiWithKeyDown) PutClientBytes(&down, kConfirm, 1);
  PutKeyEvent(&down, EV_KEY, code, 1, lag_ns);
  WakeUp(down);
  if (ui == UiAfterKeyDown) {
    PassFacts pass = Facts(PassClientBytes);
    PutClientBytes(&pass, kConfirm, 1);
    WakeUp(pass);
  }
  Wait(hold_ns, input);
  KeyEvent(EV_KEY, code, 0, 0);
}

void CanWakeUp(bool standby) {
  neighbour_ap_standby = standby ? 1 : 0;
  FUZZ_CHECK(write(h.can_write, "f", 1) == 1, "a frame for the CAN descriptor");
  WakeUp(Facts(PassCan));
}

void Connect() {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  FUZZ_CHECK(fd >= 0, "a client socket");
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  FUZZ_CHECK(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
             "the client connects");
  const int previous = h.client;
  h.client = fd;
  WakeUp(Facts(PassConnect));
  // The guard has let the older client go; so does its application.
  if (previous >= 0) close(previous);
}

void Leave() {
  if (h.client < 0) return;
  close(h.client);
  h.client = -1;
  WakeUp(Facts(PassLeave));
}

enum Step : int {
  StepKeyEvent = 0,
  StepPress,
  StepWait,
  StepClientBytes,
  StepCanFrame,
  StepConnect,
  StepLeave,
  kLastStep = StepLeave,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (mkdtemp(socket_dir) == nullptr) return 1;
  socket_path = std::string(socket_dir) + "/control";
  listen_fd = OpenControlSocket(socket_path.c_str());
  int lines[2];
  if (pipe2(lines, O_NONBLOCK | O_CLOEXEC) != 0) return 1;
  guard_lines = lines[0];
  SendLogLinesTo(lines[1]);
  return std::atexit(RemoveSocketDir) == 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint32_t open_before = OpenDescriptors();
  ResetNeighbours();
  // As an input-event device the guard has switched to the monotonic clock.
  SetKeyStampsMonotonic(true);
  h = Harness{};
  int key[2];
  int can[2];
  FUZZ_CHECK(pipe2(key, O_NONBLOCK) == 0 && pipe2(can, O_NONBLOCK) == 0, "pipes");
  h.key_write = key[1];
  h.can_write = can[1];
  neighbour_can_fd = can[0];
  // Anywhere on the clock, the first second after boot included (a key-up
  // with no key-down is measured from 0).
  virtual_now_ns = input.ConsumeIntegralInRange<int64_t>(0, int64_t{1} << 45);
  h.loop = NewGuardLoop(key[0], can[0], listen_fd);

  while (input.remaining_bytes() > 0) {
    switch (static_cast<Step>(input.ConsumeIntegralInRange<int>(0, kLastStep))) {
      case StepKeyEvent: {
        const uint16_t type = input.ConsumeBool() ? EV_KEY : input.ConsumeIntegral<uint16_t>();
        const uint16_t code = KeyCode(input);
        const int32_t value = input.ConsumeIntegralInRange<int32_t>(-1, 2);
        KeyEvent(type, code, value, KeyLag(input));
        break;
      }
      case StepPress: {
        const uint16_t code = KeyCode(input);
        const int64_t hold = input.ConsumeIntegralInRange<int64_t>(0, 1500000) * kMicrosecond;
        const auto ui = static_cast<UiAnswer>(input.ConsumeIntegralInRange<int>(0, kLastUiAnswer));
        Press(code, ui, KeyLag(input), hold, input);
        break;
      }
      case StepWait:
        Wait(input.ConsumeIntegralInRange<int64_t>(0, 10000000) * kMicrosecond, input);
        break;
      case StepClientBytes:
        ClientSends(input);
        break;
      case StepCanFrame:
        CanWakeUp(input.ConsumeBool());
        break;
      case StepConnect:
        Connect();
        break;
      case StepLeave:
        Leave();
        break;
    }
  }

  for (int fd : {key[0], key[1], can[0], can[1], h.client, h.loop.client_fd}) {
    if (fd >= 0) close(fd);
  }
  neighbour_can_fd = -1;
  h = Harness{};
  FUZZ_CHECK(OpenDescriptors() == open_before, "every descriptor of the run is closed");
  return 0;
}
