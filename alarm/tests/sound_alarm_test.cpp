// SoundAlarm as the guard loop calls it, in the test process itself: the
// children it leaves, whether they end by themselves, and their status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "alarm/alarm.h"
#include "alarm/tests/alarm_test_support.h"
#include "alarm/tests/alsa_test_config.h"

namespace {
bool no_leak_check = false;
}  // namespace

#ifdef __SANITIZE_ADDRESS__
// The leak check at exit needs a process of its own, which a process that may
// not fork cannot have: it would add its failure to the output.
extern "C" int __lsan_is_turned_off() { return no_leak_check ? 1 : 0; }
#endif

namespace {

using alarm_test::ReadFile;

constexpr uid_t kNobody = 65534;

struct Child {
  pid_t pid;
  char state;  // R, S, Z, ... as /proc shows it
};

// The test process's children, found through /proc so that finished ones
// not yet reaped (zombies) count as well.
std::vector<Child> ChildrenOfThisProcess() {
  std::vector<Child> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::optional<std::string> stat = ReadFile(entry.path() / "stat");
    if (!stat) continue;  // gone meanwhile
    std::istringstream fields(stat->substr(stat->rfind(')') + 1));
    char state = '?';
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == getpid()) children.push_back({static_cast<pid_t>(std::stol(name)), state});
  }
  return children;
}

std::string Describe(const std::vector<Child>& children) {
  std::string text;
  for (const Child& child : children) text += std::to_string(child.pid) + ":" + child.state + " ";
  return text;
}

// Waits until no child of the test process is left, not even a zombie.
bool NoChildrenWithin(std::chrono::seconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!ChildrenOfThisProcess().empty()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class SoundAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &saved_sigchld_), 0);
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(ChildrenOfThisProcess().empty()) << Describe(ChildrenOfThisProcess());
  }
  void TearDown() override {
    NoChildrenWithin(std::chrono::seconds(20));
    sigaction(SIGCHLD, &saved_sigchld_, nullptr);
  }

  struct sigaction saved_sigchld_ = {};
  alarm_test::SavedGuardConfig saved_config_;
  alarm_test::ScratchDirectory dir_;
};

TEST_F(SoundAlarmTest, AlarmTypeNoneCreatesNoChild) {
  guard_config.alarm_type = AlarmNone;
  guard_config.alarm_options = dir_.path().c_str();
  SoundAlarm(kWarningPattern, kWarningPatternSteps);

  EXPECT_TRUE(ChildrenOfThisProcess().empty());
  // No fork at all, not even one whose child ended at once: SIGCHLD would
  // be ignored after it.
  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "freq"));
}

TEST_F(SoundAlarmTest, TenAlarmsLeaveTenChildrenThatEndByThemselves) {
  // Long enough that all ten are surely still playing when counted.
  const AlarmStep long_beep[] = {{2900, 1500}};
  guard_config.alarm_type = AlarmBuzzer;
  std::vector<std::string> devices;
  for (int i = 0; i < 10; ++i) {
    devices.push_back(dir_ / std::to_string(i));
    ASSERT_TRUE(std::filesystem::create_directory(devices.back()));
  }

  const auto start = std::chrono::steady_clock::now();
  for (const std::string& device : devices) {
    // Each child reads its own copy of the configuration, as it was at the fork.
    guard_config.alarm_options = device.c_str();
    SoundAlarm(long_beep, 1);
  }
  const double calls_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(calls_ms, 1000) << "SoundAlarm must not wait for the alarm to play";

  const std::vector<Child> playing = ChildrenOfThisProcess();
  EXPECT_EQ(playing.size(), 10U) << Describe(playing);
  for (const Child& child : playing) EXPECT_NE(child.state, 'Z') << Describe(playing);

  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  // No flags of the daemon's; the C library may add its own signal-return one.
  const unsigned daemon_flags =
      static_cast<unsigned>(SA_NOCLDSTOP | SA_NOCLDWAIT | SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER) |
      static_cast<unsigned>(SA_RESETHAND);
  EXPECT_EQ(static_cast<unsigned>(now.sa_flags) & daemon_flags, 0U);
  for (int signal = 1; signal < SIGRTMIN; ++signal) EXPECT_EQ(sigismember(&now.sa_mask, signal), 0) << signal;

  // Nobody waits for them: the system reaps each as it ends.
  EXPECT_TRUE(NoChildrenWithin(std::chrono::seconds(20))) << Describe(ChildrenOfThisProcess());
  for (const std::string& device : devices) {
    SCOPED_TRACE(device);
    EXPECT_EQ(ReadFile(device + "/freq"), "2900");
    EXPECT_EQ(ReadFile(device + "/volume"), "100000");
  }
}

struct HeldChild {
  std::string error;
  int status = -1;
};

// Calls SoundAlarm with standard error on a full pipe. The child blocks at
// its first message until the test reads the pipe, and by then SIGCHLD is
// back at its default, so the child stays to be waited for and its status
// can be seen. A child that printed nothing would be gone unseen.
HeldChild SoundAlarmHeldAtFirstMessage(const AlarmStep* pattern, int32_t step_count) {
  HeldChild held;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return held;
  fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
  fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  const char block[512] = {};
  size_t filler = 0;
  for (ssize_t put; (put = write(pipe_fds[1], block, sizeof block)) > 0;) filler += static_cast<size_t>(put);
  fcntl(pipe_fds[1], F_SETFL, 0);

  const int saved_error = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  SoundAlarm(pattern, step_count);
  dup2(saved_error, STDERR_FILENO);
  close(saved_error);
  close(pipe_fds[1]);

  struct sigaction keep = {};
  keep.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &keep, nullptr);

  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(got));
  close(pipe_fds[0]);
  held.error = text.size() >= filler ? text.substr(filler) : "";
  if (waitpid(-1, &held.status, 0) < 0) held.status = -1;
  return held;
}

TEST_F(SoundAlarmTest, ChildEndsWithStatusZeroWhateverTheDriverMet) {
  const std::string missing = dir_ / "missing";
  struct Case {
    AlarmType type;
    const char* options;
    std::string message;
  };
  const Case cases[] = {
      {AlarmBuzzer, missing.c_str(), "Unable to open " + missing + "/freq\n"},
      {AlarmDualBuzzer, missing.c_str(), "Unable to open " + missing + "/duty_ns\n"},
      {AlarmGpio, nullptr, "No GPIO number specified\n"},
      {AlarmGpio, "99999", "Unable to open /sys/class/gpio/gpio99999/value\n"},
      {static_cast<AlarmType>(5), nullptr, "Unknown alarm type, cannot sound the alarm!\n"},
      {static_cast<AlarmType>(-1), nullptr, "Unknown alarm type, cannot sound the alarm!\n"},
  };
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.message);
    guard_config.alarm_type = test_case.type;
    guard_config.alarm_options = test_case.options;
    const HeldChild child = SoundAlarmHeldAtFirstMessage(kWarningPattern, kWarningPatternSteps);
    EXPECT_EQ(child.error, test_case.message);
    EXPECT_TRUE(WIFEXITED(child.status)) << child.status;
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
  }
}

TEST_F(SoundAlarmTest, SpeakerAlarmPlaysOnTheDefaultDevice) {
  const std::string played = dir_ / "played.raw";
  const std::string config = alarm_test::WriteFilePcmConfig(dir_.path(), played);
  ASSERT_NE(config, "");
  // Only the child uses ALSA; it finds its configuration in the environment.
  ASSERT_EQ(setenv("ALSA_CONFIG_PATH", config.c_str(), 1), 0);
  guard_config.alarm_type = AlarmSpeaker;
  SoundAlarm(kClearedPattern, kClearedPatternSteps);
  unsetenv("ALSA_CONFIG_PATH");

  ASSERT_TRUE(NoChildrenWithin(std::chrono::seconds(20))) << Describe(ChildrenOfThisProcess());
  // 750 ms at 44100 frames of 4 bytes per second.
  const std::optional<std::string> bytes = ReadFile(played);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 33075U * 4U);
}

TEST_F(SoundAlarmTest, FailedForkEndsTheProcessWithStatusOne) {
  guard_config.alarm_type = AlarmBuzzer;
  guard_config.alarm_options = dir_.path().c_str();
  const alarm_test::ChildResult daemon = alarm_test::RunInChild([] {
    // Root may always fork; nobody with a process limit of 0 may not.
    if (geteuid() == 0 && setuid(kNobody) != 0) return 90;
    const rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) return 91;
    no_leak_check = true;
    SoundAlarm(kClearedPattern, kClearedPatternSteps);
    return 92;  // SoundAlarm came back
  });
  EXPECT_EQ(daemon.exit_code(), 1) << daemon.Describe();
  EXPECT_EQ(daemon.error, std::string("fork(): ") + std::strerror(EAGAIN) + "\n");
}

}  // namespace
