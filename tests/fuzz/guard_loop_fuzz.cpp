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
// would, or bring a CAN frame with it). Every pass is checked by the safety
// monitor the explorer uses, and for what only real descriptors show (its
// actions carried out, each once); each run closes every descriptor it
// opened.
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
#include "guard/control/control_socket.h"
#include "guard/loop/guard_loop.h"
#include "guard/keypad/key_device.h"
#include "guard/tests/recording_neighbours.h"
#include "guard/tests/safety_monitor.h"
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

struct Harness {
  GuardLoop loop = {};
  int key_write = -1;
  int can_write = -1;
  int client = -1;  // our end of the client the guard holds, -1 when none
  SafetyMonitor monitor = NewSafetyMonitor();
};

Harness h;

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

// Each pass against the safety monitor, which the explorer shares; then what
// only real descriptors show: the decided actions carried out, each once.
void CheckPass() {
  const GuardLoop& loop = h.loop;
  const char* broken = CheckGuardPass(&h.monitor, loop.last_reading, loop.last_actions, loop.guard);
  FUZZ_CHECK(broken == nullptr, broken);
  size_t echoes = 0;
  int commands = 0;
  int warnings = 0;
  int clears = 0;
  int ends = 0;
  for (size_t i = 0; i < loop.last_actions.count; ++i) {
    const GuardAction& action = loop.last_actions.list[i];
    echoes += action.kind == ActSendEchoes ? action.count : 0;
    commands += action.kind == ActSendStandby ? 1 : 0;
    warnings += action.kind == ActSoundWarning ? 1 : 0;
    clears += action.kind == ActSoundCleared ? 1 : 0;
    ends += action.kind == ActEndEpisode ? 1 : 0;
  }
  FUZZ_CHECK(ReceiveEchoes() == (h.client >= 0 ? echoes : 0), "every echo decided reaches the client, no other");
  FUZZ_CHECK(Count("standby") == commands && Count("warning 13") == warnings && Count("cleared 1") == clears,
             "each command and alarm decided goes out once, and no other");
  FUZZ_CHECK(static_cast<int>(neighbour_calls.size()) ==
                 commands + warnings + clears + Count("drain"),
             "the guard sounds only its two patterns");
  // One record for each episode, when it ends.
  static char lines[8192];
  const ssize_t got = read(guard_lines, lines, sizeof lines - 1);
  lines[got > 0 ? got : 0] = '\0';
  int records = 0;
  for (const char* at = lines; (at = std::strstr(at, "Press of the autopilot key released at ")) != nullptr; ++at) {
    records += 1;
  }
  FUZZ_CHECK(records == ends, "one record for each episode, when it ends");
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
void WakeUp() {
  const sigset_t saved = SignalsHeld();
  fd_set ready;
  const int count = FillGuardSelectSet(&h.loop, &ready);
  timeval no_wait = {0, 0};
  const int result = select(count, &ready, nullptr, nullptr, &no_wait);
  FUZZ_CHECK(result > 0, "the event made a descriptor ready");
  virtual_clock_on = true;
  const timespec now = VirtualNow();
  RunGuardPass(&h.loop, result, &ready, &now);
  virtual_clock_on = false;
  SignalsReleased(saved);
  CheckPass();
}

// Time passes; select runs out at each deadline within it, on time or late
// (a loaded machine), or wakes up for a CAN frame that came just as the
// deadline passed, which the wake-up pass serves before the time-out.
void Wait(int64_t duration_ns, FuzzedDataProvider& input) {
  const int64_t end = virtual_now_ns + duration_ns;
  while (h.loop.guard.timeout_armed && ToNanoseconds(h.loop.guard.deadline) <= end) {
    const int how = input.ConsumeIntegralInRange<int>(0, 2);
    const int64_t late = how == 1 ? input.ConsumeIntegralInRange<int64_t>(0, 600000) : 0;
    const int64_t at = ToNanoseconds(h.loop.guard.deadline) + late * kMicrosecond;
    if (at > virtual_now_ns) virtual_now_ns = at;
    if (how == 2) {
      FUZZ_CHECK(write(h.can_write, "f", 1) == 1, "a frame for the CAN descriptor");
      WakeUp();
    } else {
      fd_set none;
      FD_ZERO(&none);
      const sigset_t saved = SignalsHeld();
      virtual_clock_on = true;
      const timespec now = VirtualNow();
      RunGuardPass(&h.loop, 0, &none, &now);
      virtual_clock_on = false;
      SignalsReleased(saved);
      CheckPass();
    }
  }
  if (end > virtual_now_ns) virtual_now_ns = end;
}

// Writes a key event stamped lag before now, as the moment the key moved;
// the pass that reads it is the caller's.
void PutKeyEvent(uint16_t type, uint16_t code, int32_t value, int64_t lag_ns) {
  // A device stamps no moment before the clock's origin.
  const int64_t stamp = std::max<int64_t>(virtual_now_ns - lag_ns, 0) / kMicrosecond * kMicrosecond;
  input_event event = {};
  event.input_event_sec = static_cast<decltype(event.input_event_sec)>(stamp / kSecond);
  event.input_event_usec = static_cast<decltype(event.input_event_usec)>(stamp % kSecond / kMicrosecond);
  event.type = type;
  event.code = code;
  event.value = value;
  FUZZ_CHECK(write(h.key_write, &event, sizeof event) == static_cast<ssize_t>(sizeof event),
             "the key event is written");
}

void KeyEvent(uint16_t type, uint16_t code, int32_t value, int64_t lag_ns) {
  PutKeyEvent(type, code, value, lag_ns);
  WakeUp();
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

void PutClientBytes(const uint8_t* bytes, size_t count) {
  FUZZ_CHECK(send(h.client, bytes, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count),
             "the client's bytes are sent");
}

void ClientSends(FuzzedDataProvider& input) {
  if (h.client < 0) return;
  uint8_t bytes[8] = {};
  const size_t count = input.ConsumeIntegralInRange<size_t>(1, sizeof bytes);
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = input.ConsumeIntegralInRange<uint8_t>(0, 3);
    if (byte == 3) byte = input.ConsumeIntegral<uint8_t>();
    bytes[i] = byte;
  }
  PutClientBytes(bytes, count);
  WakeUp();
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
    PutClientBytes(kConfirm, 1);
    WakeUp();
    if (lag_ns > 0) Wait(lag_ns / 2, input);
  }
  if (ui == UiWithKeyDown) PutClientBytes(kConfirm, 1);
  PutKeyEvent(EV_KEY, code, 1, lag_ns);
  WakeUp();
  if (ui == UiAfterKeyDown) {
    PutClientBytes(kConfirm, 1);
    WakeUp();
  }
  Wait(hold_ns, input);
  KeyEvent(EV_KEY, code, 0, 0);
}

void CanWakeUp(bool standby) {
  neighbour_ap_standby = standby ? 1 : 0;
  FUZZ_CHECK(write(h.can_write, "f", 1) == 1, "a frame for the CAN descriptor");
  WakeUp();
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
  WakeUp();
  // The guard has let the older client go; so does its application.
  if (previous >= 0) close(previous);
}

void Leave() {
  if (h.client < 0) return;
  close(h.client);
  h.client = -1;
  WakeUp();
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
