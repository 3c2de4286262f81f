// Figures of the whole daemon on the emulated boat, printed, never judged:
// the CPU time it spends per CAN frame while the bus is flooded, beside
// candump reading the same bus; how far each standby command lands from its
// deadline on a quiet bus and on a flooded one; and how soon the cleared
// alarm starts after the autopilot reports standby. Runs inside the bench's
// virtual machine (bench/run), so every figure carries the emulator's cost.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/keypad.h"
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
  return std::atol(ReadFile("/sys/class/net/can0/statistics/rx_packets").c_str());
}

// The daemon, its keypad and the autopilot in a scratch folder of their own.
struct Boat {
  explicit Boat(const std::vector<std::string>& autopilot_options) {
    char folder[] = "/tmp/helmwatch-benchmark.XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    dir = folder;
    alarm_dir = dir + "/buzzer";
    fs::create_directory(alarm_dir);
    const int keys[] = {kGuardedKey};
    std::string error;
    if (!CreateKeypad(&keypad, "benchmark keypad", keys, 1, &error)) {
      std::fprintf(stderr, "no keypad: %s\n", error.c_str());
      std::exit(1);
    }
    autopilot = std::make_unique<Autopilot>(dir + "/autopilot.log", autopilot_options);
    const std::string socket = dir + "/control";
    daemon = std::make_unique<DaemonProcess>(DaemonCommand(
        {"-u", socket, "-t", "buzzer", "-o", alarm_dir, keypad.event_path}));
    for (const double give_up = Now() + 10; !fs::exists(socket);) {
      if (Now() > give_up || !daemon->Running()) {
        std::fprintf(stderr, "the daemon did not start: %s\n", daemon->ReadError().c_str());
        std::exit(1);
      }
      SleepFor(0.01);
    }
    SleepFor(0.3);  // the first status broadcast names both addresses
  }
  ~Boat() {
    daemon.reset();
    autopilot.reset();
    DestroyKeypad(&keypad);
    fs::remove_all(dir);
  }

  double Press() {
    WriteKeyEdge(keypad, kGuardedKey, 1);
    SleepFor(0.1);
    WriteKeyEdge(keypad, kGuardedKey, 0);
    return Now();
  }

  std::string dir;
  std::string alarm_dir;
  SimKeypad keypad;
  std::unique_ptr<Autopilot> autopilot;
  std::unique_ptr<DaemonProcess> daemon;
};

// Extended frames of an engine message, nothing the guard acts on, from the
// autopilot's controller and not echoed back to it.
std::unique_ptr<DaemonProcess> StartFlood() {
  return std::make_unique<DaemonProcess>(std::vector<std::string>{
      "cangen", "can1", "-e", "-I", "0CF00400", "-L", "8", "-D", "i", "-g", kFloodGapMs, "-c",
      kFloodBurst, "-x", "-p", "10"});
}

void CpuPerFrame() {
  std::printf("[%s] CPU time per received frame, bus flooded for 5 s:\n", Machine());
  Boat boat({});
  DaemonProcess candump({"candump", "can0"});
  SleepFor(0.5);
  const long frames_before = FramesReceivedOnCan0();
  const double daemon_before = CpuSeconds(boat.daemon->pid());
  const double candump_before = CpuSeconds(candump.pid());
  const double start = Now();
  {
    auto flood = StartFlood();
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
}

// The error of every command against release + 3 s + k x 250 ms, as the
// autopilot's controller received it, over several unconfirmed presses.
void CommandTiming(bool flooded) {
  std::printf("[%s] Standby command time against its deadline, %s bus, %d presses:\n",
              Machine(), flooded ? "flooded" : "quiet", kEpisodes);
  Boat boat({});
  std::unique_ptr<DaemonProcess> flood;
  if (flooded) {
    flood = StartFlood();
    SleepFor(1.0);
  }
  std::vector<std::vector<double>> errors(kRetries);
  int short_runs = 0;
  size_t seen = 0;
  for (int episode = 0; episode < kEpisodes; ++episode) {
    const double released = boat.Press();
    SleepUntil(released + kWindow + kRetries * kInterval + 0.5);
    const auto commands = boat.autopilot->Commands();
    const std::vector<CommandSeen> run(commands.begin() + static_cast<long>(seen), commands.end());
    seen = commands.size();
    if (run.size() != static_cast<size_t>(kRetries)) ++short_runs;
    for (size_t k = 0; k < run.size() && k < static_cast<size_t>(kRetries); ++k)
      errors[k].push_back(run[k].time - (released + kWindow + static_cast<double>(k) * kInterval));
  }
  if (flood) flood->KillAll();
  std::printf("  command  mean ms   min ms   max ms\n");
  double worst = 0;
  for (int k = 0; k < kRetries; ++k) {
    const auto& e = errors[static_cast<size_t>(k)];
    if (e.empty()) continue;
    double sum = 0;
    for (double x : e) sum += x;
    const auto [low, high] = std::minmax_element(e.begin(), e.end());
    worst = std::max({worst, std::fabs(*low), std::fabs(*high)});
    std::printf("  %7d  %7.1f  %7.1f  %7.1f\n", k, 1000 * sum / static_cast<double>(e.size()),
                1000 * *low, 1000 * *high);
  }
  std::printf("  largest error %.1f ms%s\n", 1000 * worst,
              short_runs ? " (some presses did not get 8 commands)" : "");
}

// From the autopilot's standby status on the bus to the cleared alarm's
// first write, over presses the autopilot answers 100 ms after the first
// command.
void StandbyToCleared() {
  std::printf("[%s] Standby status on the bus to the cleared alarm's first write, %d presses:\n",
              Machine(), kEpisodes);
  Boat boat({"--standby-on-command=100", "--standby-for=2000"});
  WriteRecorder writes(boat.alarm_dir);
  std::vector<double> latencies;
  for (int episode = 0; episode < kEpisodes; ++episode) {
    const double released = boat.Press();
    SleepUntil(released + kWindow + kRetries * kInterval + 0.5);
  }
  std::vector<double> standby_times;
  for (const AutopilotEvent& event : boat.autopilot->Events())
    if (event.words[0] == "standby") standby_times.push_back(event.time);
  const auto recorded = writes.Writes();
  for (double standby : standby_times) {
    for (const auto& write : recorded) {
      if (write.time >= standby) {
        latencies.push_back(write.time - standby);
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

}  // namespace
}  // namespace helmwatch_test

int main() {
  using namespace helmwatch_test;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("=== helmwatch on the emulated boat, %s (times include the emulator's)\n",
              Machine());
  CpuPerFrame();
  CommandTiming(false);
  CommandTiming(true);
  StandbyToCleared();
  return 0;
}
