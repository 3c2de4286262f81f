// What the alarm tests share: scratch directories, whole-file reads and
// running a piece of the alarm in a child process, the way the daemon runs
// it, with its standard output and error captured.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>


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

// Empty files standing for a device's attributes, which the drivers expect
// to find: they never create one.
inline bool MakeAttributes(const std::string& directory, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (!WriteFile(directory + "/" + name, "")) return false;
  }
  return true;
}


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

// ---- A private /sys/class ----

inline constexpr int kCannotIsolate = 77;

// What a run under a private /sys/class left: the child's result, and the
// regular files found there afterwards, path by path.
struct IsolatedRun {
  ChildResult child;
  std::map<std::string, std::string> files;
};

// Runs body in a child that sees an empty tmpfs at /sys/class, where the
// fixed GPIO and default buzzer paths lead, with the files named made in it
// (empty; a name ending in "/" makes only the directory).
template <typename Body>
IsolatedRun RunUnderPrivateSysClass(const std::vector<std::string>& files, Body body) {
  IsolatedRun run;
  run.child = RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755") != 0) {
      std::fprintf(stderr, "no private mount of /sys/class: %s", std::strerror(errno));
      return kCannotIsolate;
    }
    for (const std::string& file : files) {
      const std::filesystem::path path(file);
      std::filesystem::create_directories(path.parent_path());
      if (!path.filename().empty()) WriteFile(file, "");
    }
    body();
    // Stands for stdout: the parent cannot see this tmpfs.
    for (const auto& entry : std::filesystem::recursive_directory_iterator("/sys/class")) {
      if (entry.is_regular_file()) {
        std::printf("%s=%s\n", entry.path().c_str(), ReadFile(entry.path()).value_or("").c_str());
      }
    }
    return 0;
  });
  std::istringstream lines(run.child.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) run.files[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return run;
}

#define SKIP_WITHOUT_ISOLATION(run)                                                              \
  if ((run).child.exit_code() == alarm_test::kCannotIsolate) GTEST_SKIP() << (run).child.error; \
  ASSERT_EQ((run).child.exit_code(), 0) << (run).child.Describe()

}  // namespace alarm_test
