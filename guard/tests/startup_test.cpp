// Process settings at start-up, each tried in a child process so that the
// test program itself keeps its priority and out-of-memory score.
#include "guard/startup/startup.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr uid_t kNobody = 65534;

struct ChildResult {
  int exit_code;
  std::string error_output;
};

// Runs body in a child with standard error captured; body's int is the
// child's exit code.
template <typename Body>
ChildResult RunInChild(Body body) {
  int output[2];
  if (pipe(output) != 0) return {-1, "pipe failed"};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(output[1], STDERR_FILENO);
    close(output[0]);
    close(output[1]);
    std::_Exit(body());
  }
  close(output[1]);
  std::string text;
  char buffer[256];
  ssize_t got;
  while ((got = read(output[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(output[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

int OomScoreAdjustment() {
  std::ifstream file("/proc/self/oom_score_adj");
  int value = 0;
  file >> value;
  return value;
}

// Child exit codes of the privilege tests.
constexpr int kRefusedSchedulerUntouched = 10;
constexpr int kRaised = 20;

TEST(RaisePriority, RefusedAdjustmentIsCaughtAtTheFlush) {
  // Without privilege the kernel refuses -1000 only when the buffered value
  // is written out; a check of the print alone would report success.
  const ChildResult child = RunInChild([] {
    if (setuid(kNobody) != 0) return 1;
    // Changing the user makes /proc/self root's; get it back so that the
    // file opens and the kernel's refusal comes at the write.
    if (prctl(PR_SET_DUMPABLE, 1) != 0) return 1;
    if (RaisePriority() != 1) return 2;
    return sched_getscheduler(0) == SCHED_OTHER ? kRefusedSchedulerUntouched : 3;
  });
  EXPECT_EQ(child.exit_code, kRefusedSchedulerUntouched);
  EXPECT_EQ(child.error_output, "error writing /proc/self/oom_score_adj: Permission denied");
}

TEST(RaisePriority, UnopenableAdjustmentIsSkippedAndTheSchedulerDecides) {
  const ChildResult child = RunInChild([] {
    if (setuid(kNobody) != 0) return 1;  // leaves /proc/self to root
    return RaisePriority() == -1 ? kRefusedSchedulerUntouched : 2;
  });
  EXPECT_EQ(child.exit_code, kRefusedSchedulerUntouched);
  EXPECT_EQ(child.error_output, "");
}

TEST(RaisePriority, PrivilegedProcessIsExemptAndRealTime) {
  const ChildResult child = RunInChild([] {
    if (RaisePriority() != 0) return 1;
    sched_param param = {};
    if (sched_getparam(0, &param) != 0) return 2;
    if (sched_getscheduler(0) != SCHED_FIFO) return 3;
    if (param.sched_priority != sched_get_priority_min(SCHED_FIFO)) return 4;
    return OomScoreAdjustment() == -1000 ? kRaised : 5;
  });
  if (child.exit_code == 1 && child.error_output.rfind("error writing", 0) == 0) {
    GTEST_SKIP() << "this machine refuses the adjustment even to root: " << child.error_output;
  }
  EXPECT_EQ(child.exit_code, kRaised) << child.error_output;
}

}  // namespace

TEST(KeepStandardDescriptorsOpen, FillsClosedOnesWithDevNullAndLeavesOpenOnes) {
  const ChildResult result = RunInChild([] {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    KeepStandardDescriptorsOpen();
    char target[64] = {};
    for (int fd : {STDIN_FILENO, STDOUT_FILENO}) {
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (readlink(link.c_str(), target, sizeof target - 1) < 0) return 1;
      if (std::string(target) != "/dev/null") return 2;
    }
    // Standard error, the test's pipe, is kept.
    if (readlink("/proc/self/fd/2", target, sizeof target - 1) < 0) return 3;
    return std::string(target).rfind("pipe:", 0) == 0 ? 0 : 4;
  });
  EXPECT_EQ(result.exit_code, 0) << result.error_output;
}
