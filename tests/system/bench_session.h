// What the system tests share inside the emulated boat: the daemon, a uinput
// keypad, the autopilot on can1 and a recorder of alarm file writes, with
// every event stamped on CLOCK_MONOTONIC so that timings can be compared.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/keypad.h"
#include "tests/daemon_process.h"

namespace helmwatch_test {

// The guard's timing as the peers see it, from the key's release.
inline constexpr double kWindow = 3.0;     // s to the first command
inline constexpr double kInterval = 0.25;  // s between commands
inline constexpr int kRetries = 8;
inline constexpr int kGuardedKey = 30;

double Now();
void SleepUntil(double when);
void SleepFor(double seconds);

// One line of the autopilot's log: its time and its words after the time.
struct AutopilotEvent {
  double time;
  std::vector<std::string> words;
};

struct CommandSeen {
  double time;
  int sequence;
  int source;
  int target;
};

// The autopilot peer on can1, a process of its own.
class Autopilot {
 public:
  // Starts it with extra options; waits until it broadcasts.
  Autopilot(const std::string& log_path, const std::vector<std::string>& options);
  ~Autopilot();
  Autopilot(const Autopilot&) = delete;
  Autopilot& operator=(const Autopilot&) = delete;

  std::vector<AutopilotEvent> Events() const;
  std::vector<CommandSeen> Commands() const;
  // Frames received that are not status frames: the daemon's own.
  int FramesReceived() const;
  std::vector<std::string> Problems() const;  // "malformed" lines
  double TimeOf(const std::string& first_word) const;  // -1: not seen

 private:
  std::string log_path_;
  std::unique_ptr<DaemonProcess> process_;
};

// Writes to the files of one folder as inotify reports them: the sysfs
// drivers flush every value separately, so each value is one event.
class WriteRecorder {
 public:
  explicit WriteRecorder(const std::string& folder);
  ~WriteRecorder();
  WriteRecorder(const WriteRecorder&) = delete;
  WriteRecorder& operator=(const WriteRecorder&) = delete;

  struct Write {
    double time;
    std::string file;
  };
  std::vector<Write> Writes();  // so far

 private:
  int inotify_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Write> writes_;
};

std::string ReadFile(const std::string& path);

// Makes folder a stand-in buzzer device with the (empty) attribute files of
// both buzzer types: the daemon writes only to files that exist.
void MakeBuzzerDevice(const std::string& folder);

// CPU time a process has used so far, in seconds (the scheduler's nanosecond
// count, finer than the clock ticks of /proc/PID/stat).
double CpuSeconds(pid_t pid);

}  // namespace helmwatch_test
