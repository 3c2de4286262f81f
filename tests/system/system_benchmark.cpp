// Figures of the whole daemon on the emulated boat, printed, never judged:
// the CPU time it spends per CAN frame while the bus is flooded, beside
// candump reading the same bus; how late each standby command reaches the
// autopilot against its deadline on a quiet bus and on a flooded one, by the
// kernel's own time stamps; and how soon the cleared alarm starts after the
// autopilot reports standby. Runs inside the bench's virtual machine
// (bench/run), so every figure carries the emulator's cost.
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/input.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/keypad.h"
#include "common/log_line.h"
#include "common/monotonic_time.h"
#include "guard/episode/episode_log.h"
#include "guard/tests/test_io.h"
#include "recorder/flight_recorder.h"
#include "tests/system/bench_session.h"

namespace helmwatch_test {
namespace {

namespace fs = std::filesystem;

constexpr int kEpisodes = 4;
// A 250 kbit/s bus at full load carries about 2000 frames of 8 bytes a
// second. The emulated bus has no bit timing, so the generator sets the
// pace: it asks for two frames every millisecond and the emulated machine
// delivers what it can; the rate reached is printed.
constexpr char kFloodGapMs[] = "1";
constexpr char kFloodBurst[] = "2";

// The machine the figures come from: the benchmark runs on more than one
// architecture and every heading names it.
const char* Machine() {
  static utsname name{};
  static const bool known = uname(&name) == 0;
  return known ? name.machine : "unknown";
}

long FramesReceivedOnCan0() {
  // std::stol: a missing or unreadable count ends the run rather than reading as 0.
  return std::stol(ReadFile("/sys/class/net/can0/statistics/rx_packets"));
}

// The daemon, its keypad and the autopilot in a scratch folder of their own.
struct Boat {
  explicit Boat(const std::vector<std::string>& autopilot_options) {
    char folder[] = "/tmp/helmwatch-benchmark.XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    dir = folder;
    alarm_dir = dir + "/buzzer";
    MakeBuzzerDevice(alarm_dir);
    const int keys[] = {kGuardedKey};
    std::string error;
    if (!CreateKeypad(&keypad, "benchmark keypad", keys, 1, &error)) {
      std::fprintf(stderr, "no keypad: %s\n", error.c_str());
      std::exit(1);
    }
    autopilot = std::make_unique<Autopilot>(dir + "/autopilot.log", autopilot_options);
    socket = dir + "/control";
    const double started = Now();
    daemon = std::make_unique<DaemonProcess>(DaemonCommand(
        {"-u", socket, "-t", "buzzer", "-o", alarm_dir, keypad.event_path}));
    for (const double give_up = Now() + 10; !fs::exists(socket);) {
      if (Now() > give_up || !daemon->Running()) {
        std::fprintf(stderr, "the daemon did not start: %s\n", daemon->ReadError().c_str());
        std::exit(1);
      }
      SleepFor(0.001);
    }
    // The socket's file appears at bind, right before listen.
    listening_after = Now() - started;
    SleepFor(0.3);  // the first status broadcast names both addresses
  }
  // One owner for the daemon and the scratch folder it removes.
  Boat(const Boat&) = delete;
  Boat& operator=(const Boat&) = delete;
  ~Boat() {
    daemon.reset();
    autopilot.reset();
    DestroyKeypad(&keypad);
    fs::remove_all(dir);
  }

  // Returns a time shortly after the release, to schedule by; the
  // release's own time is its event's stamp.
  double Press() {
    WriteKeyEdge(keypad, kGuardedKey, 1);
    SleepFor(0.1);
    WriteKeyEdge(keypad, kGuardedKey, 0);
    return Now();
  }

  std::string dir;
  std::string alarm_dir;
  std::string socket;
  double listening_after = 0;  // s from the start to the control socket
  SimKeypad keypad;
  std::unique_ptr<Autopilot> autopilot;
  std::unique_ptr<DaemonProcess> daemon;
};

// Traffic for the bus: frames of an engine message, nothing the guard
// reads; or the autopilot's own status message (kind 10 from address 3, not
// in standby) at the same pace, which the guard's receive filter must let
// through and decode: the worst case.
// The status messages also paced as a real 250 kbit/s bus carries them at
// most, about 1,900 a second, one frame a wake-up; the bursts come faster.
enum class Flood { kUnrelated, kAutopilotStatus, kPacedStatus };

// From the autopilot's controller, not echoed back to it.
std::unique_ptr<DaemonProcess> StartFlood(Flood flood = Flood::kUnrelated) {
  const bool status = flood != Flood::kUnrelated;
  const bool paced = flood == Flood::kPacedStatus;
  return std::make_unique<DaemonProcess>(std::vector<std::string>{
      "cangen", "can1", "-e", "-I", status ? "18FF1903" : "0CF00400", "-L", "8", "-D",
      status ? "419F000A00000000" : "i", "-g", paced ? "0.52" : kFloodGapMs, "-c", paced ? "1" : kFloodBurst,
      "-x", "-p", "10"});
}

void CpuPerFrame(Flood kind) {
  std::printf("[%s] CPU time per frame on the bus, flooded for 5 s with %s:\n", Machine(),
              kind == Flood::kUnrelated        ? "unrelated traffic"
              : kind == Flood::kPacedStatus ? "autopilot status messages, paced as the bus carries them"
                                            : "autopilot status messages in bursts");
  Boat boat({});
  DaemonProcess candump({"candump", "can0"});
  SleepFor(0.5);
  const long frames_before = FramesReceivedOnCan0();
  const double daemon_before = CpuSeconds(boat.daemon->pid());
  const double candump_before = CpuSeconds(candump.pid());
  const double start = Now();
  {
    auto flood = StartFlood(kind);
    SleepFor(5.0);
    flood->KillAll();
  }
  SleepFor(0.2);
  const double seconds = Now() - start;
  const long frames = FramesReceivedOnCan0() - frames_before;
  const double daemon_cpu = CpuSeconds(boat.daemon->pid()) - daemon_before;
  const double candump_cpu = CpuSeconds(candump.pid()) - candump_before;
  candump.KillAll();
  if (frames <= 0) {
    std::printf("  no frames reached can0\n");
    return;
  }
  const double per_frame = 1e6 / static_cast<double>(frames);
  std::printf("  %ld frames on can0 (%.0f a second)\n", frames, static_cast<double>(frames) / seconds);
  std::printf("  helmwatch: %7.1f us a frame, %5.1f %% of one CPU\n", daemon_cpu * per_frame,
              100 * daemon_cpu / seconds);
  std::printf("  candump:   %7.1f us a frame, %5.1f %% of one CPU\n", candump_cpu * per_frame,
              100 * candump_cpu / seconds);
  if (candump_cpu > 0) std::printf("  helmwatch / candump: %.2f\n", daemon_cpu / candump_cpu);
}

// A blocking client of the control socket.
int ConnectBlocking(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The guard's CPU time for a client that floods the control socket: 1 MiB
// of a byte without effect, written as fast as the guard takes it; then a
// ping flood whose echoes the client reads.
void ControlBytes() {
  std::printf("[%s] CPU time per control byte:\n", Machine());
  Boat boat({});
  const int fd = ConnectBlocking(boat.socket);
  if (fd < 0) {
    std::printf("  cannot connect\n");
    return;
  }
  SleepFor(0.2);
  constexpr size_t kTotal = 1 << 20;
  const std::vector<uint8_t> chunk(4096, 7);
  double cpu = CpuSeconds(boat.daemon->pid());
  double start = Now();
  for (size_t sent = 0; sent < kTotal;) {
    const ssize_t n = write(fd, chunk.data(), chunk.size());
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  // Until the guard has read the last of it.
  for (int queued = 1; queued > 0 && Now() < start + 60;) {
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) break;
    if (queued > 0) SleepFor(0.001);
  }
  double seconds = Now() - start;
  cpu = CpuSeconds(boat.daemon->pid()) - cpu;
  std::printf("  1 MiB in %.2f s: helmwatch %.3f us a byte, %.2f s of CPU\n", seconds,
              1e6 * cpu / static_cast<double>(kTotal), cpu);

  const std::vector<uint8_t> pings(64, 1);
  std::vector<uint8_t> echoes(65536);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  cpu = CpuSeconds(boat.daemon->pid());
  start = Now();
  size_t sent = 0;
  size_t answered = 0;
  while (Now() < start + 2.0) {
    const ssize_t n = write(fd, pings.data(), pings.size());
    if (n > 0) sent += static_cast<size_t>(n);
    const ssize_t got = read(fd, echoes.data(), echoes.size());
    if (got > 0) answered += static_cast<size_t>(got);
  }
  seconds = Now() - start;
  cpu = CpuSeconds(boat.daemon->pid()) - cpu;
  std::printf("  ping flood for 2 s: %zu pings sent, %zu answered; helmwatch %.3f us a ping, "
              "%.1f %% of one CPU\n",
              sent, answered, 1e6 * cpu / static_cast<double>(sent ? sent : 1), 100 * cpu / seconds);
  close(fd);
}

// How soon the control socket listens after the start, and what the
// running guard holds in memory (all of it locked, when privileged).
void StartUpAndMemory() {
  constexpr int kStarts = 5;
  std::printf("[%s] Start to control socket, %d starts; memory of the running guard:\n",
              Machine(), kStarts);
  std::vector<double> times;
  std::string memory;
  for (int i = 0; i < kStarts; ++i) {
    Boat boat({});
    times.push_back(boat.listening_after);
    if (i + 1 == kStarts) {
      std::istringstream status(ReadFile("/proc/" + std::to_string(boat.daemon->pid()) + "/status"));
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmLck:", 0) == 0) {
          line.erase(std::remove(line.begin(), line.end(), '\t'), line.end());
          memory += "  " + line + "\n";
        }
      }
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("  exec to listening: min %.1f ms, median %.1f ms, max %.1f ms\n", 1000 * times.front(),
              1000 * times[times.size() / 2], 1000 * times.back());
  std::printf("%s", memory.c_str());
}

// Kernel time stamps on CLOCK_REALTIME, the one clock both ends of a
// command's delay offer: a CAN socket's SO_TIMESTAMPNS stamps each frame as
// its controller receives it, on that clock only, and an event device
// reader switched to it (EVIOCSCLOCKID) gets the key event's own stamp on
// it too. Every reader of a device or a bus sees the same stamp, so the
// benchmark's readers see what the guard's and the autopilot's see, and the
// two compare with no conversion. No time service runs on the bench, so the
// real-time clock keeps pace with the monotonic one; the run checks that.

// A reader of the keypad, opened before the press and read after it.
int OpenKeyStamps(const std::string& event_path) {
  const int fd = open(event_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int clock = CLOCK_REALTIME;
  if (fd < 0 || ioctl(fd, EVIOCSCLOCKID, &clock) != 0) {
    std::perror(event_path.c_str());
    std::exit(1);
  }
  return fd;
}

// The stamps of the guarded key's releases read since the last call.
std::vector<timespec> KeyUpStamps(int fd) {
  std::vector<timespec> stamps;
  for (input_event event{}; read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);) {
    if (event.type == EV_KEY && event.code == kGuardedKey && event.value == 0)
      stamps.push_back({static_cast<time_t>(event.input_event_sec),
                        static_cast<long>(event.input_event_usec) * kNanosecondsPerMicrosecond});
  }
  return stamps;
}

// A reader of one interface that takes only the frames whose 29-bit
// identifier matches id under mask, so a flood cannot fill its queue.
int OpenFrameStamps(const char* interface, uint32_t id, uint32_t mask) {
  const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
  const can_filter filter{id | CAN_EFF_FLAG, mask | CAN_EFF_FLAG};
  const int on = 1;
  sockaddr_can address{};
  address.can_family = AF_CAN;
  if (fd < 0 || ioctl(fd, SIOCGIFINDEX, &request) != 0 ||
      setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
    std::perror(interface);
    std::exit(1);
  }
  address.can_ifindex = request.ifr_ifindex;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::perror(interface);
    std::exit(1);
  }
  return fd;
}

struct StampedFrame {
  timespec stamp;  // CLOCK_REALTIME, when the controller received it
  can_frame frame;
};

// The frames received since the last call, with their stamps.
std::vector<StampedFrame> ReadFrames(int fd) {
  std::vector<StampedFrame> frames;
  for (;;) {
    StampedFrame got{};
    iovec data{&got.frame, sizeof got.frame};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(fd, &message, 0) != static_cast<ssize_t>(sizeof got.frame)) return frames;
    const cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) {
      std::fprintf(stderr, "a frame came without its time stamp\n");
      std::exit(1);
    }
    std::memcpy(&got.stamp, CMSG_DATA(c), sizeof got.stamp);
    frames.push_back(got);
  }
}

// One instant read on both clocks: the closest of a few readings, so a
// preemption between the two reads does not count.
struct ClockPair {
  double monotonic;
  timespec realtime;
};

ClockPair ReadClocks() {
  ClockPair best{};
  double best_gap = INFINITY;
  for (int i = 0; i < 5; ++i) {
    timespec real{};
    const double before = Now();
    clock_gettime(CLOCK_REALTIME, &real);
    const double gap = Now() - before;
    if (gap < best_gap) best = {before + gap / 2, real};
    best_gap = std::fmin(best_gap, gap);
  }
  return best;
}

double MonotonicOf(const ClockPair& pair, timespec realtime) {
  return pair.monotonic + static_cast<double>(MicrosecondsBetween(pair.realtime, realtime)) / 1e6;
}

// Says so when the real-time clock was set or slewed while stamps on it
// were being compared: the figures are off by as much.
void CheckClocks(const ClockPair& before) {
  const ClockPair after = ReadClocks();
  const double moved = MonotonicOf(before, after.realtime) - after.monotonic;
  if (std::fabs(moved) > 50e-6)
    std::printf("  the real-time clock moved %.3f ms against the monotonic one meanwhile\n",
                1000 * moved);
}

// Standby commands (PGN 130850) from any address; their first frames carry
// frame number 0. The autopilot's status: kind 10 from address 3, with its
// standby bit.
constexpr uint32_t kCommandId = 0x1FF2200;
constexpr uint32_t kCommandMask = 0x1FFFF00;
constexpr uint32_t kAutopilotStatusId = 0x18FF1903;
constexpr uint8_t kStandbyBit = 0x08;
bool IsFirstFrame(const can_frame& frame) { return (frame.data[0] & 0x1F) == 0; }

void PrintSpread(const std::string& label, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double x : ms) sum += x;
  std::printf("  %7s  %7.2f  %7.2f  %7.2f  %7.2f\n", label.c_str(), ms.front(),
              sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms.back());
}

// How late each command's first frame reaches the autopilot's controller
// against its deadline: the key-up's stamp + 3 s + k x 250 ms, over several
// unconfirmed presses. A negative figure is a command sent early.
void CommandTiming(bool flooded) {
  std::printf("[%s] Standby command lateness against its deadline, %s bus, %d presses\n"
              "  (kernel stamps: the key-up event's to the first frame's receipt on the\n"
              "  autopilot's controller; negative: early):\n",
              Machine(), flooded ? "flooded" : "quiet", kEpisodes);
  Boat boat({});
  const int keys = OpenKeyStamps(boat.keypad.event_path);
  const int commands = OpenFrameStamps("can1", kCommandId, kCommandMask);
  std::unique_ptr<DaemonProcess> flood;
  if (flooded) {
    flood = StartFlood();
    SleepFor(1.0);
  }
  const ClockPair clocks = ReadClocks();
  std::vector<std::vector<double>> late_ms(kRetries);
  int short_runs = 0;
  for (int episode = 0; episode < kEpisodes; ++episode) {
    SleepUntil(boat.Press() + kWindow + kRetries * kInterval + 0.5);
    const std::vector<timespec> released = KeyUpStamps(keys);
    std::vector<timespec> sent;
    for (const StampedFrame& got : ReadFrames(commands))
      if (IsFirstFrame(got.frame)) sent.push_back(got.stamp);
    if (released.size() != 1 || sent.size() != static_cast<size_t>(kRetries)) ++short_runs;
    if (released.empty()) continue;
    for (size_t k = 0; k < sent.size() && k < static_cast<size_t>(kRetries); ++k) {
      const double due_us =
          (kWindow + static_cast<double>(k) * kInterval) * kMicrosecondsPerSecond;
      late_ms[k].push_back(
          (static_cast<double>(MicrosecondsBetween(released.front(), sent[k])) - due_us) / 1000);
    }
  }
  if (flood) flood->KillAll();
  CheckClocks(clocks);
  close(keys);
  close(commands);
  std::printf("  command   min ms  mean ms   median   max ms\n");
  std::vector<double> all;
  for (int k = 0; k < kRetries; ++k) {
    const auto& e = late_ms[static_cast<size_t>(k)];
    if (e.empty()) continue;
    PrintSpread(std::to_string(k), e);
    all.insert(all.end(), e.begin(), e.end());
  }
  if (!all.empty()) PrintSpread("all", all);
  if (short_runs) std::printf("  (%d presses did not get 8 commands)\n", short_runs);
  // How long after its stamp the guard read each key-up, as its records say
  // (they name a lag of a millisecond or more): what no longer shifts the
  // commands.
  std::vector<double> lag_ms;
  const std::string& said = boat.daemon->ReadError();
  for (size_t at = said.find("Press of the autopilot key released at "); at != std::string::npos;
       at = said.find("Press of the autopilot key released at ", at + 1)) {
    const size_t end = said.find(": ", at);
    const size_t read = said.find(" (read ", at);
    lag_ms.push_back(read < end ? std::stod(said.substr(read + 7)) : 0.0);
  }
  if (!lag_ms.empty()) PrintSpread("read lag", lag_ms);
}

// From the autopilot's standby status reaching the guard's controller (the
// frame's kernel stamp, as the guard's socket gets it) to the cleared
// alarm's first write as a watcher of the buzzer's files sees it: the
// write itself has no stamp, so the figure also holds the watcher's wake-up
// and is an upper bound. Over presses the autopilot answers 100 ms after
// the first command.
void StandbyToCleared() {
  std::printf("[%s] Standby status to the cleared alarm, %d presses: from the status frame's\n"
              "  receipt on the guard's controller (kernel stamp) to the alarm's first write as\n"
              "  a watcher of its files wakes to it (user space: an upper bound):\n",
              Machine(), kEpisodes);
  Boat boat({"--standby-on-command=100", "--standby-for=2000"});
  const int statuses = OpenFrameStamps("can0", kAutopilotStatusId, CAN_EFF_MASK);
  WriteRecorder writes(boat.alarm_dir);
  const ClockPair clocks = ReadClocks();
  std::vector<double> standby_times;
  bool standby = false;
  for (int episode = 0; episode < kEpisodes; ++episode) {
    SleepUntil(boat.Press() + kWindow + kRetries * kInterval + 0.5);
    for (const StampedFrame& got : ReadFrames(statuses)) {
      const bool now_standby = (got.frame.data[4] & kStandbyBit) != 0;
      if (now_standby && !standby) standby_times.push_back(MonotonicOf(clocks, got.stamp));
      standby = now_standby;
    }
  }
  CheckClocks(clocks);
  close(statuses);
  std::vector<double> latencies;
  const auto recorded = writes.Writes();
  for (double standby_time : standby_times) {
    for (const auto& write : recorded) {
      if (write.time >= standby_time) {
        latencies.push_back(write.time - standby_time);
        break;
      }
    }
  }
  if (latencies.empty()) {
    std::printf("  no cleared alarm was seen\n");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("  min %.1f ms, median %.1f ms, max %.1f ms\n", 1000 * latencies.front(),
              1000 * latencies[latencies.size() / 2], 1000 * latencies.back());
}

// What writing one episode's record costs the pass that ends the episode:
// the line on standard error (a pipe that is read, and one that is full, the
// line then lost) and the history file beside the socket rewritten on a
// memory file system. The guard's own code, in this process.
void RecordCost() {
  constexpr int kRecords = 2000;
  std::printf("[%s] Cost of an episode record in the pass that ends the episode, %d records:\n",
              Machine(), kRecords);
  const std::string folder = MakeMemoryFolder("helmwatch-record");
  int lines[2];
  if (folder.empty() || pipe2(lines, O_NONBLOCK | O_CLOEXEC) != 0) std::abort();
  SendLogLinesTo(lines[1]);
  StartEpisodeLog((folder + "/control").c_str(), AlarmBuzzer);
  EpisodeRecord record;
  BeginEpisode(&record, MonotonicNow(), MonotonicNow(), MonotonicNow());
  for (int k = 0; k < kRetries; ++k) NoteStandbyCommand(&record, {ApCommandSent, 0, 0}, HalLinkUp, MonotonicNow());
  record.warning_started = true;
  EndEpisode(&record, EpisodeGaveUp, MonotonicNow());
  char drained[65536];
  for (const bool full : {false, true}) {
    std::vector<double> costs;
    for (int i = 0; i < kRecords; ++i) {
      if (!full) {
        while (read(lines[0], drained, sizeof drained) > 0) {
        }
      }
      const double start = Now();
      RecordEpisode(record);
      costs.push_back(Now() - start);
    }
    std::sort(costs.begin(), costs.end());
    std::printf("  standard error %s: median %.1f us, 99th percentile %.1f us, max %.1f us\n",
                full ? "full (line lost)" : "read", 1e6 * costs[costs.size() / 2],
                1e6 * costs[costs.size() * 99 / 100], 1e6 * costs.back());
  }
  close(lines[0]);
  close(lines[1]);
  fs::remove_all(folder);
}

// What the flight recorder costs the guard: recording the frames a drain
// read (a batch of 32 status frames), and writing a flight out, a piece of
// 64 lines at a time, from a window full of the worst bus's frames.
void FlightCost() {
  constexpr int kBatches = 2000;
  constexpr int kWindowFrames = 50000;
  std::printf("[%s] Flight recorder: recording %d batches of %d frames, then writing a flight of %d:\n",
              Machine(), kBatches, kHalMostFramesPerRead, kWindowFrames);
  const std::string folder = MakeMemoryFolder("helmwatch-flights");
  if (folder.empty() || StartFlightRecorder((folder + "/control.flight").c_str(), kFlightEntries) > FlightNotLocked) {
    std::printf("  no recorder could be started\n");
    return;
  }
  HalReceived batch[kHalMostFramesPerRead] = {};
  for (HalReceived& frame : batch) {
    frame.frame = {kAutopilotStatusId, 8, {0x41, 0x9F, 0x00, 0x0A, 0, 0, 0, 0}};
    clock_gettime(CLOCK_REALTIME, &frame.stamp);
  }
  const double start = Now();
  for (int i = 0; i < kBatches; ++i) RecordFrames(batch, kHalMostFramesPerRead);
  std::printf("  recording: %.0f ns a frame\n", 1e9 * (Now() - start) / (kBatches * kHalMostFramesPerRead));
  const timespec key_down = MonotonicNow();
  (void)BeginFlightWindow(key_down);
  for (int i = 0; i < kWindowFrames / kHalMostFramesPerRead; ++i) RecordFrames(batch, kHalMostFramesPerRead);
  EndFlightWindow(MonotonicNow());
  const timespec later = AddMicroseconds(MonotonicNow(), 11 * kMicrosecondsPerSecond);
  std::vector<double> pieces;
  for (FlightWrite wrote = {FlightWriting, 0, false, 0}; wrote.state == FlightWriting || pieces.empty();) {
    const double piece = Now();
    wrote = WriteFlightPiece(later, 64);
    pieces.push_back(Now() - piece);
    if (wrote.state == FlightFailed || wrote.state == FlightIdle) break;
  }
  std::sort(pieces.begin(), pieces.end());
  std::printf("  writing: %zu pieces of 64 lines, median %.0f us, max %.0f us a piece\n", pieces.size(),
              1e6 * pieces[pieces.size() / 2], 1e6 * pieces.back());
  StopFlightRecorder();
  fs::remove_all(folder);
}

}  // namespace
}  // namespace helmwatch_test

int main() {
  using namespace helmwatch_test;
  (void)setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("=== helmwatch on the emulated boat, %s (times include the emulator's)\n",
              Machine());
  CpuPerFrame(Flood::kUnrelated);
  CpuPerFrame(Flood::kAutopilotStatus);
  CpuPerFrame(Flood::kPacedStatus);
  CommandTiming(false);
  CommandTiming(true);
  StandbyToCleared();
  ControlBytes();
  StartUpAndMemory();
  RecordCost();
  FlightCost();
  return 0;
}
