#include "tests/system/bench_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/monotonic_time.h"

namespace helmwatch_test {

double Now() { return MonotonicSeconds(); }

void SleepFor(double seconds) {
  if (seconds <= 0) return;
  timespec delay{static_cast<time_t>(seconds),
                 static_cast<long>(std::fmod(seconds, 1.0) * kNanosecondsPerSecond)};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

void SleepUntil(double when) { SleepFor(when - Now()); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void MakeBuzzerDevice(const std::string& folder) {
  std::filesystem::create_directories(folder);
  for (const char* name : {"freq", "volume", "duty_ns", "period_ns"}) {
    std::ofstream(folder + "/" + name, std::ios::binary);
  }
}

double CpuSeconds(pid_t pid) {
  std::istringstream fields(ReadFile("/proc/" + std::to_string(pid) + "/schedstat"));
  double nanoseconds = 0;
  fields >> nanoseconds;
  return nanoseconds / kNanosecondsPerSecond;
}

Autopilot::Autopilot(const std::string& log_path, const std::vector<std::string>& options)
    : log_path_(log_path) {
  std::vector<std::string> command = {HELMWATCH_AUTOPILOT, "-i", "can1", "-o", log_path};
  command.insert(command.end(), options.begin(), options.end());
  process_ = std::make_unique<DaemonProcess>(command);
  for (const double give_up = Now() + 10; TimeOf("ready") < 0;) {
    if (Now() > give_up || !process_->Running())
      throw std::runtime_error("the autopilot did not start: " + process_->error_text());
    SleepFor(0.01);
  }
}

Autopilot::~Autopilot() {
  kill(process_->pid(), SIGTERM);
  process_->WaitForExit();
}

std::vector<AutopilotEvent> Autopilot::Events() const {
  std::vector<AutopilotEvent> events;
  std::istringstream lines(ReadFile(log_path_));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    AutopilotEvent event{};
    if (!(words >> event.time)) continue;
    for (std::string word; words >> word;) event.words.push_back(word);
    if (!event.words.empty()) events.push_back(event);
  }
  return events;
}

std::vector<CommandSeen> Autopilot::Commands() const {
  std::vector<CommandSeen> commands;
  for (const AutopilotEvent& event : Events()) {
    const auto& w = event.words;
    if (w.size() == 6 && w[0] == "command")
      commands.push_back({event.time, std::stoi(w[1]), std::stoi(w[3]), std::stoi(w[5])});
  }
  return commands;
}

int Autopilot::FramesReceived() const {
  int count = 0;
  for (const AutopilotEvent& event : Events()) count += event.words[0] == "rx";
  return count;
}

std::vector<std::string> Autopilot::Problems() const {
  std::vector<std::string> problems;
  for (const AutopilotEvent& event : Events()) {
    if (event.words[0] != "malformed") continue;
    std::string line;
    for (const std::string& word : event.words) line += word + " ";
    problems.push_back(line);
  }
  return problems;
}

double Autopilot::TimeOf(const std::string& first_word) const {
  for (const AutopilotEvent& event : Events())
    if (event.words[0] == first_word) return event.time;
  return -1;
}

WriteRecorder::WriteRecorder(const std::string& folder) {
  inotify_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_fd_ < 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0 ||
      inotify_add_watch(inotify_fd_, folder.c_str(), IN_MODIFY) < 0)
    throw std::runtime_error("cannot watch " + folder);
  thread_ = std::thread([this] {
    for (;;) {
      pollfd ready[2] = {{inotify_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (poll(ready, 2, -1) < 0 && errno != EINTR) return;
      const double when = Now();
      alignas(inotify_event) char buffer[4096];
      for (ssize_t got; (got = read(inotify_fd_, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(at);
          std::lock_guard<std::mutex> lock(mutex_);
          writes_.push_back({when, event->len ? event->name : ""});
          at += sizeof(inotify_event) + event->len;
        }
      }
      if (ready[1].revents) return;
    }
  });
}

WriteRecorder::~WriteRecorder() {
  if (write(stop_pipe_[1], "x", 1) != 1) thread_.detach();
  if (thread_.joinable()) thread_.join();
  close(inotify_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

std::vector<WriteRecorder::Write> WriteRecorder::Writes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

}  // namespace helmwatch_test
