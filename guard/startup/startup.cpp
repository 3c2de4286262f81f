#include "guard/startup/startup.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log_line.h"

namespace {

struct OomAdjustment {
  const char* path;
  int value;
};

// -1000 exempts the process on the current interface; -17 disables the
// killer for it on the older one. A kernel may offer only one of the two.
constexpr OomAdjustment kOomAdjustments[] = {
    {"/proc/self/oom_score_adj", -1000},
    {"/proc/self/oom_adj", -17},
};

void ReportWriteError(const char* path, int error) {
  // No newline, as specified: "Lack proper privileges" follows on the same
  // line, and log readers on units in the field match the pair as one.
  LogLine("error writing %s: %s", path, std::strerror(error));
}

}  // namespace

void KeepStandardDescriptorsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open takes the lowest free number: the closed one itself.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

int RaisePriority() {
  for (const OomAdjustment& adjustment : kOomAdjustments) {
    FILE* file = std::fopen(adjustment.path, "r+");
    if (file == nullptr) continue;
    // The value reaches the kernel only when the stream is flushed, and that
    // is where a lowering without privilege is refused: a print that merely
    // filled the buffer proves nothing.
    if (std::fprintf(file, "%d\n", adjustment.value) <= 0 || std::fflush(file) != 0) {
      ReportWriteError(adjustment.path, errno);
      (void)std::fclose(file);
      return 1;
    }
    if (std::fclose(file) != 0) {
      ReportWriteError(adjustment.path, errno);
      return 1;
    }
  }

  sched_param param = {};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  return sched_setscheduler(0, SCHED_FIFO, &param);
}

namespace {

// More than the loop ever uses: its deepest calls hold a 4 KiB event buffer.
constexpr size_t kStackPrefaultBytes = size_t{64} * 1024;

// Every page of it faulted in once, and locked from then on.
[[gnu::noinline]] void PrefaultStack() {
  volatile char stack[kStackPrefaultBytes];
  for (size_t i = 0; i < sizeof stack; i += 256) stack[i] = 0;
}

}  // namespace

void LockMemory() {
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    LogCallFailure("mlockall()");
    return;
  }
  PrefaultStack();
}

void Daemonize() {
  if (getppid() == 1) return;

  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork()");
    std::exit(1);
  }
  if (pid > 0) std::exit(0);

  umask(0);
  if (setsid() < 0) LogCallFailure("setsid()");
  if (chdir("/") < 0) LogCallFailure("chdir()");
}
