// Runs the built daemon as a child process, the way a shell or an init
// system starts it, for tests of the whole program: its standard error is
// captured through a pipe, and every process that inherited that pipe (a
// detached daemon, processes in a namespace of their own) can be found and
// ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace helmwatch_test {

using Milliseconds = std::chrono::milliseconds;

// Bounds a wait so that a hang fails the test; it measures nothing.
inline constexpr Milliseconds kGenerousLimit{20000};

// What start-up reports on a machine without a CAN interface.
inline constexpr char kCanReport[] =
    "HalSetBusSpeed(0,250000) returned error -1\n"
    "HalSetBusState(0,1) returned error -9\n"
    "CAN failed to initialize\n";

inline constexpr char kLackPrivileges[] = "Lack proper privileges\n";

// The command that starts the built daemon (or the one HELMWATCH_DAEMON
// names) with args: in a cross build the emulator's words come first, and
// before everything the words of HELMWATCH_DAEMON_WRAPPER, when set (a
// checker such as valgrind, its options separated by blanks).
std::vector<std::string> DaemonCommand(const std::vector<std::string>& args);

// "exit N", "signal N" or "still running", for readable failures.
std::string Ending(std::optional<int> status);

// Removes the report of a priority that could not be raised from just after
// the CAN report and hands it out in *report. Whether the machine lets root
// raise it varies, so the report is "Lack proper privileges\n", possibly
// after "error writing /proc/self/oom_...: <reason>" (no newline of its
// own), or nothing at all.
std::string WithoutPrivilegeReport(const std::string& text, std::string* report = nullptr);

struct StartOptions {
  std::string working_directory;  // empty: the test's own
  bool as_nobody = false;         // run as user and group 65534
  bool own_process_group = false;  // leads a group of its own, as a service does
  // Standard error a pipe filled to the brim before the start: until the
  // test reads it, nothing more can be written there.
  bool error_pipe_full = false;
};

class DaemonProcess {
 public:
  // Starts command (its first word is looked up in PATH) with standard
  // input and output on /dev/null. Throws std::runtime_error when the
  // process cannot be created; a failed exec ends the child with status 127
  // and a line on the captured standard error.
  explicit DaemonProcess(std::vector<std::string> command, const StartOptions& options = {});
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The wait status of the started process, or nothing when it is still
  // running after limit.
  std::optional<int> WaitForExit(Milliseconds limit = kGenerousLimit);

  // False once the started process has ended.
  bool Running();

  // Reads standard error until it contains text the given number of times;
  // false when it did not within limit or every writer closed it first.
  bool WaitForError(const std::string& text, size_t times = 1, Milliseconds limit = kGenerousLimit);

  // Reads standard error until every process holding it has closed it, or
  // limit is over, and returns everything read.
  const std::string& ReadErrorToEnd(Milliseconds limit = kGenerousLimit);

  // Everything read from standard error so far.
  const std::string& error_text() const { return error_text_; }

  // Reads what standard error holds now, without waiting, and returns
  // everything read so far.
  const std::string& ReadError() {
    ReadAvailable(0);
    return error_text_;
  }

  // Kills the started process and every other process that holds its
  // standard error, and reaps those that are children of the test.
  void KillAll();

 private:
  void ReadAvailable(int poll_ms);
  void Reap(int options);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  int error_fd_ = -1;
  ino_t error_inode_ = 0;
  bool error_closed_ = false;
  std::string error_text_;
};

// Processes other than the test itself with a descriptor open on path.
std::vector<pid_t> ProcessesWithOpenFile(const std::string& path);

}  // namespace helmwatch_test
