// What the alarm tests share: scratch directories, whole-file reads and
// running a piece of the alarm in a child process, the way the daemon runs
// it, with its standard output and error captured.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "guard/guard.h"

namespace alarm_test {

// A fresh directory under /tmp, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/helmwatch-alarm.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // Empty when the directory could not be made.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file, or nothing when it cannot be read.
inline std::optional<std::string> ReadFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(got));
  close(fd);
  if (got < 0) return std::nullopt;
  return content;
}

inline bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  return static_cast<bool>(file.flush());
}

// Restores guard_config when a test is done with it.
class SavedGuardConfig {
 public:
  SavedGuardConfig() : saved_(guard_config) {}
  ~SavedGuardConfig() { guard_config = saved_; }
  SavedGuardConfig(const SavedGuardConfig&) = delete;
  SavedGuardConfig& operator=(const SavedGuardConfig&) = delete;

 private:
  GuardConfig saved_;
};

struct ChildResult {
  int status = -1;  // as waitpid gives it
  std::string output;
  std::string error;

  // The exit status, or -1 when the child did not exit normally.
  int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

  std::string Describe() const {
    std::ostringstream text;
    if (WIFEXITED(status)) {
      text << "exit " << WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      text << "signal " << WTERMSIG(status);
    } else {
      text << "status " << status;
    }
    text << "; stdout \"" << output << "\"; stderr \"" << error << "\"";
    return text.str();
  }
};

// How a child that printed nothing and exited with code reads in Describe.
inline std::string QuietExit(int code) {
  ChildResult quiet;
  quiet.status = code << 8;
  return quiet.Describe();
}

// Runs body in a forked child with standard output and error captured; the
// int body returns is the child's exit status. The child leaves by _exit, as
// an alarm child does, so none of the test program's exit handlers run twice.
template <typename Body>
ChildResult RunInChild(Body body) {
  ChildResult result;
  int output[2];
  int error[2];
  if (pipe2(output, O_CLOEXEC) != 0) return result;
  if (pipe2(error, O_CLOEXEC) != 0) {
    close(output[0]);
    close(output[1]);
    return result;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(output[1], STDOUT_FILENO);
    dup2(error[1], STDERR_FILENO);
    const int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  close(output[1]);
  close(error[1]);
  pollfd streams[2] = {{output[0], POLLIN, 0}, {error[0], POLLIN, 0}};
  std::string* texts[2] = {&result.output, &result.error};
  int open_streams = 2;
  while (pid > 0 && open_streams > 0) {
    if (poll(streams, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<size_t>(got));
      } else {
        streams[i].fd = -1;
        --open_streams;
      }
    }
  }
  close(output[0]);
  close(error[0]);
  if (pid > 0) waitpid(pid, &result.status, 0);
  return result;
}

}  // namespace alarm_test
