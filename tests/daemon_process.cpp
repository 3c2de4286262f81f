#include "tests/daemon_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace helmwatch_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr gid_t kNobodyGroup = 65534;
constexpr uid_t kNobodyUser = 65534;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// In the child between fork and exec: only plain system calls from here on.
[[noreturn]] void ChildFail(const char* what, const char* program) {
  for (const char* part : {"child: ", what, " ", program, "\n"}) {
    const ssize_t ignored = write(STDERR_FILENO, part, std::strlen(part));
    static_cast<void>(ignored);
  }
  _exit(127);
}

// Processes other than the test itself with a descriptor whose link in
// /proc/PID/fd reads wanted ("/path", "pipe:[123]", ...).
std::vector<pid_t> ProcessesWithOpenLink(const std::string& wanted) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) Fail("opendir /proc");
  while (const dirent* process = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
    const std::string fd_dir = std::string("/proc/") + process->d_name + "/fd/";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) continue;  // gone meanwhile
    while (const dirent* fd = readdir(fds)) {
      char link[4096];
      const ssize_t length = readlink((fd_dir + fd->d_name).c_str(), link, sizeof link);
      if (length > 0 && wanted == std::string(link, static_cast<size_t>(length))) {
        found.push_back(static_cast<pid_t>(pid));
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

}  // namespace

std::vector<std::string> DaemonCommand(const std::vector<std::string>& args) {
  std::vector<std::string> command;
  const char* wrapper = std::getenv("HELMWATCH_DAEMON_WRAPPER");
  std::istringstream words(std::string(wrapper != nullptr ? wrapper : "") + " " + HELMWATCH_EMULATOR);
  for (std::string word; words >> word;) command.push_back(word);
  // Another build's daemon may stand in, for figures of before and after.
  const char* daemon = std::getenv("HELMWATCH_DAEMON");
  command.emplace_back(daemon != nullptr ? daemon : HELMWATCH_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string Ending(std::optional<int> status) {
  if (!status) return "still running";
  if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "signal " + std::to_string(WTERMSIG(*status));
  return "status " + std::to_string(*status);
}

std::string WithoutPrivilegeReport(const std::string& text, std::string* report) {
  const std::string can = kCanReport;
  const std::string lack = kLackPrivileges;
  if (text.compare(0, can.size(), can) != 0) return text;
  const size_t lack_at = text.find(lack, can.size());
  if (lack_at == std::string::npos) return text;
  const std::string before = text.substr(can.size(), lack_at - can.size());
  const bool oom_refused =
      before.rfind("error writing /proc/self/oom_", 0) == 0 && before.find('\n') == std::string::npos;
  if (!before.empty() && !oom_refused) return text;
  if (report != nullptr) *report = before + lack;
  return can + text.substr(lack_at + lack.size());
}

std::vector<pid_t> ProcessesWithOpenFile(const std::string& path) {
  return ProcessesWithOpenLink(path);
}

DaemonProcess::DaemonProcess(std::vector<std::string> command, const StartOptions& options) {
  // A daemon that detaches is handed to the test when its parent ends, so
  // that the test can reap it after killing it. Refused under some
  // emulators; the kill then still works, only the reaping is left to init.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);

  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) Fail("pipe2");
  struct stat pipe_stat;
  if (fstat(error_pipe[0], &pipe_stat) != 0) Fail("fstat pipe");
  error_inode_ = pipe_stat.st_ino;
  if (options.error_pipe_full) {
    // Filled through a non-blocking mode that is taken off again: the
    // daemon gets the blocking pipe a shell would give it.
    const int flags = fcntl(error_pipe[1], F_GETFL);
    if (flags < 0 || fcntl(error_pipe[1], F_SETFL, flags | O_NONBLOCK) != 0) Fail("fcntl");
    const std::string filler(4096, '.');
    for (size_t size = filler.size(); size > 0; size /= 2) {
      while (write(error_pipe[1], filler.data(), size) > 0) {
      }
    }
    if (fcntl(error_pipe[1], F_SETFL, flags) != 0) Fail("fcntl");
  }

  pid_ = fork();
  if (pid_ < 0) Fail("fork");
  if (pid_ == 0) {
    if (dup2(error_pipe[1], STDERR_FILENO) < 0) _exit(127);
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
      ChildFail("cannot open /dev/null for", argv[0]);
    }
    // Nothing of the test's may reach the daemon: a FIFO writer held by
    // the daemon itself would hide the end of its key device.
    if (close_range(3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 1024; ++fd) close(fd);
    }
    if (options.own_process_group && setpgid(0, 0) != 0) {
      ChildFail("cannot make a process group for", argv[0]);
    }
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
      ChildFail("cannot change directory for", argv[0]);
    }
    if (options.as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobodyGroup) != 0 ||
                              setuid(kNobodyUser) != 0)) {
      ChildFail("cannot become nobody for", argv[0]);
    }
    execvp(argv[0], argv.data());
    ChildFail("cannot run", argv[0]);
  }
  close(error_pipe[1]);
  error_fd_ = error_pipe[0];
  if (fcntl(error_fd_, F_SETFL, O_NONBLOCK) != 0) Fail("fcntl O_NONBLOCK");
}

DaemonProcess::~DaemonProcess() {
  KillAll();
  if (error_fd_ >= 0) close(error_fd_);
}

void DaemonProcess::Reap(int options) {
  if (reaped_) return;
  const pid_t got = waitpid(pid_, &status_, options);
  // ECHILD: someone else reaped it (KillAll of another process).
  if (got == pid_ || (got < 0 && errno == ECHILD)) reaped_ = true;
}

std::optional<int> DaemonProcess::WaitForExit(Milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    Reap(WNOHANG);
    if (reaped_) return status_;
    if (Clock::now() >= deadline) return std::nullopt;
    ReadAvailable(10);  // keeps a chatty child from blocking on a full pipe
  }
}

bool DaemonProcess::Running() {
  Reap(WNOHANG);
  return !reaped_;
}

void DaemonProcess::ReadAvailable(int poll_ms) {
  if (error_closed_) {
    std::this_thread::sleep_for(Milliseconds(poll_ms));
    return;
  }
  pollfd ready = {error_fd_, POLLIN, 0};
  if (poll(&ready, 1, poll_ms) <= 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(error_fd_, buffer, sizeof buffer);
    if (got > 0) {
      error_text_.append(buffer, static_cast<size_t>(got));
    } else {
      if (got == 0) error_closed_ = true;
      return;
    }
  }
}

bool DaemonProcess::WaitForError(const std::string& text, size_t times, Milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const auto count = [&] {
    size_t found = 0;
    for (size_t at = error_text_.find(text); at != std::string::npos; at = error_text_.find(text, at + 1)) {
      ++found;
    }
    return found;
  };
  while (count() < times) {
    if (error_closed_ || Clock::now() >= deadline) return false;
    ReadAvailable(20);
  }
  return true;
}

const std::string& DaemonProcess::ReadErrorToEnd(Milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!error_closed_ && Clock::now() < deadline) ReadAvailable(20);
  return error_text_;
}

void DaemonProcess::KillAll() {
  if (pid_ <= 0) return;
  const std::string pipe_link = "pipe:[" + std::to_string(error_inode_) + "]";
  const auto deadline = Clock::now() + kGenerousLimit;
  for (;;) {
    Reap(WNOHANG);
    std::vector<pid_t> holders = ProcessesWithOpenLink(pipe_link);
    if (!reaped_) holders.push_back(pid_);
    for (pid_t holder : holders) kill(holder, SIGKILL);
    // Orphans handed to the test (see the constructor) are reaped here.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (holders.empty() || Clock::now() >= deadline) return;
    std::this_thread::sleep_for(Milliseconds(10));
  }
}

}  // namespace helmwatch_test
