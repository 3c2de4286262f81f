// SoundAlarm as the guard loop calls it, in the test process itself or in a
// process standing for the guard: the children it leaves, what they keep of
// the guard, how they end by themselves or when stopped, and their status.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "alarm/alarm.h"
#include "alarm/alarm_child.h"
#include "alarm/output_check.h"
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

using alarm_test::ChildResult;
using alarm_test::MakeAttributes;
using alarm_test::ReadFile;
using alarm_test::RunInChild;
using Clock = std::chrono::steady_clock;
using Files = std::map<std::string, std::string>;

// The output under test, handed over whole as start-up hands it; each child
// plays on the output as it was at its fork. The options are copied, since
// the output is read from them whenever either changes.
AlarmType output_type = AlarmNone;
std::optional<std::string> output_options;
void UseOutput() {
  SetAlarmOutput(ReadAlarmOutput(output_type, output_options ? output_options->c_str() : nullptr));
}
void UseAlarmType(AlarmType type) {
  output_type = type;
  UseOutput();
}
void UseAlarmOptions(const char* options) {
  output_options = options != nullptr ? std::optional<std::string>(options) : std::nullopt;
  UseOutput();
}

constexpr uid_t kNobody = 65534;

// Two long beeps: a child that plays on past a stop, or sleeps out a step a
// stop cut short, takes seconds more than one that stops.
constexpr AlarmStep kLongBeeps[] = {{2900, 3000}, {2900, 3000}};
constexpr int32_t kLongBeepsSteps = 2;

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
    UseAlarmType(AlarmNone);
    UseAlarmOptions(nullptr);
    NoChildrenWithin(std::chrono::seconds(20));
    sigaction(SIGCHLD, &saved_sigchld_, nullptr);
  }

  struct sigaction saved_sigchld_ = {};
  alarm_test::ScratchDirectory dir_;
};

TEST_F(SoundAlarmTest, AlarmTypeNoneCreatesNoChild) {
  UseAlarmType(AlarmNone);
  UseAlarmOptions(dir_.path().c_str());
  SoundAlarm(kWarningPattern, kWarningPatternSteps);

  EXPECT_TRUE(ChildrenOfThisProcess().empty());
  // No fork at all, not even one whose child ended at once: SIGCHLD would
  // be ignored after it.
  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "freq"));
}

TEST_F(SoundAlarmTest, EachOfTenAlarmsReplacesTheOneStillPlaying) {
  // Nine long beeps, each cut short by the next alarm, then two steps.
  const AlarmStep long_beep[] = {{1000, 1500}};
  const AlarmStep last[] = {{2900, 300}, {0, 300}};
  UseAlarmType(AlarmBuzzer);
  UseAlarmOptions(dir_.path().c_str());
  // Both attributes are one FIFO, read here: every value of every child in
  // the order written.
  ASSERT_EQ(mkfifo((dir_ / "freq").c_str(), 0600), 0);
  ASSERT_EQ(symlink("freq", (dir_ / "volume").c_str()), 0);
  const int values = open((dir_ / "freq").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(values, 0);
  const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };

  std::string written;
  // Reads on until done() held before the last read, or for 20 s.
  const auto read_until = [&](auto done) {
    char buffer[256];
    const auto give_up = Clock::now() + std::chrono::seconds(20);
    for (bool over = false; !over;) {
      over = done() || Clock::now() > give_up;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (ssize_t got; (got = read(values, buffer, sizeof buffer)) > 0;) written.append(buffer, static_cast<size_t>(got));
    }
  };
  std::vector<bool> cut_short = {SoundAlarm(long_beep, 1)};
  const auto after_first = descriptors();
  read_until([&] { return written.size() >= 9; });  // the first beeps before the others come

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 8; ++i) cut_short.push_back(SoundAlarm(long_beep, 1));
  cut_short.push_back(SoundAlarm(last, 2));
  const double calls_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(calls_ms, 1000) << "SoundAlarm must not wait for the alarm to play";
  EXPECT_EQ(cut_short, std::vector<bool>({false, true, true, true, true, true, true, true, true, true}));
  EXPECT_EQ(descriptors(), after_first) << "the guard holds one link, to the last child";

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
  read_until([] { return ChildrenOfThisProcess().empty(); });
  close(values);
  EXPECT_TRUE(ChildrenOfThisProcess().empty()) << Describe(ChildrenOfThisProcess());
  // Each earlier child switched the volume off ("0"), after its beep when
  // it got so far (the first did), before the next one wrote; the last
  // played both steps.
  std::string_view rest = written;
  bool in_order = rest.starts_with("1000");
  while (in_order && !rest.starts_with("2900")) {
    const size_t values_of_one = rest.starts_with("1000100000") ? 10 : rest.starts_with('0') ? 1 : 0;
    in_order = values_of_one > 0;
    rest.remove_prefix(values_of_one);
  }
  EXPECT_TRUE(in_order && rest == "29001000000") << written;
}

TEST_F(SoundAlarmTest, AlarmAfterOneStuckOnItsOutputPlaysAfterAShortWait) {
  UseAlarmType(AlarmBuzzer);
  UseAlarmOptions(dir_.path().c_str());
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"freq", "volume"}));
  SoundAlarm(kLongBeeps, kLongBeepsSteps);
  const std::vector<Child> stuck = ChildrenOfThisProcess();
  ASSERT_EQ(stuck.size(), 1U);
  // As in a device call that hangs, the stop cannot end it.
  ASSERT_EQ(kill(stuck[0].pid, SIGSTOP), 0);
  const auto start = Clock::now();
  EXPECT_TRUE(SoundAlarm(kClearedPattern, kClearedPatternSteps));
  while (ReadFile(dir_ / "volume") != "100000" && Clock::now() - start < std::chrono::seconds(10)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto took = Clock::now() - start;
  kill(stuck[0].pid, SIGCONT);
  EXPECT_GT(took, std::chrono::milliseconds(kPredecessorWaitMs + 750));
  EXPECT_LT(took, std::chrono::seconds(5));
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
    UseAlarmType(test_case.type);
    UseAlarmOptions(test_case.options);
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
  UseAlarmType(AlarmSpeaker);
  SoundAlarm(kClearedPattern, kClearedPatternSteps);
  unsetenv("ALSA_CONFIG_PATH");

  ASSERT_TRUE(NoChildrenWithin(std::chrono::seconds(20))) << Describe(ChildrenOfThisProcess());
  // 750 ms at 44100 frames of 4 bytes per second.
  const std::optional<std::string> bytes = ReadFile(played);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 33075U * 4U);
}

TEST_F(SoundAlarmTest, FailedForkIsReportedAndTheGuardGoesOn) {
  UseAlarmType(AlarmBuzzer);
  UseAlarmOptions(dir_.path().c_str());
  const ChildResult guard = RunInChild([] {
    // Root may always fork; nobody with a process limit of 0 may not.
    if (geteuid() == 0 && setuid(kNobody) != 0) return 90;
    const rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NPROC, &none) != 0) return 91;
    no_leak_check = true;
    SoundAlarm(kWarningPattern, kWarningPatternSteps);
    SoundAlarm(kClearedPattern, kClearedPatternSteps);
    return 92;  // back in the guard's loop, for the commands still to come
  });
  EXPECT_EQ(guard.exit_code(), 92) << guard.Describe();
  const std::string line = std::string("fork(): ") + std::strerror(EAGAIN) + "\n";
  EXPECT_EQ(guard.error, line + line);
}

// ---- What a child keeps of the guard ----

TEST_F(SoundAlarmTest, ChildHoldsNoneOfTheGuardsDescriptorsNorItsRealTimePolicy) {
  UseAlarmType(AlarmBuzzer);
  UseAlarmOptions(dir_.path().c_str());
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"freq", "volume"}));
  const ChildResult guard = RunInChild([] {
    sched_param fifo = {};
    fifo.sched_priority = sched_get_priority_min(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO, &fifo) != 0) std::printf("no real-time policy here\n");
    int client[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, client) != 0) return 90;
    SoundAlarm(kLongBeeps, kLongBeepsSteps);

    // The guard drops its client, which must see end of file at once
    // although the child was forked while the connection was open.
    close(client[0]);
    pollfd peer = {client[1], POLLIN, 0};
    char byte;
    const bool ended = poll(&peer, 1, 1000) == 1 && read(client[1], &byte, 1) == 0;
    std::printf("client %s\n", ended ? "sees end of file" : "still open");

    const std::vector<Child> children = ChildrenOfThisProcess();
    if (children.size() != 1) return 91;
    const int policy = sched_getscheduler(children[0].pid);
    std::printf("child under %s\n", policy == SCHED_OTHER ? "the normal policy" : "another policy");
    return 0;  // the child, its guard gone, stops
  });
  EXPECT_EQ(guard.exit_code(), 0) << guard.Describe();
  EXPECT_EQ(guard.output, "client sees end of file\nchild under the normal policy\n");
}

// ---- Stops ----

enum class Stop { kSignalToTheGroup, kGuardDies };

// The guard sounds the two long beeps; 300 ms later it either sends SIGTERM
// to its process group, as a service manager stops a service (ignoring it
// itself here, so that it can wait for the child), or dies.
int GuardThatStops(Stop stop) {
  if (setpgid(0, 0) != 0) return 80;
  if (stop == Stop::kSignalToTheGroup && signal(SIGTERM, SIG_IGN) == SIG_ERR) return 81;
  SoundAlarm(kLongBeeps, kLongBeepsSteps);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (stop == Stop::kGuardDies) return 0;
  kill(0, SIGTERM);
  // With SIGCHLD ignored, this returns once the child has ended.
  waitpid(-1, nullptr, 0);
  return 0;
}

TEST_F(SoundAlarmTest, StoppedChildSwitchesItsOutputOffAtOnce) {
  struct Case {
    AlarmType type;
    std::vector<std::string> files;
    Files after;  // the files' content once the child has ended
  };
  const Case cases[] = {
      {AlarmBuzzer, {"freq", "volume"}, {{"freq", "2900"}, {"volume", "100000"}}},
      {AlarmDualBuzzer, {"duty_ns", "period_ns"}, {{"duty_ns", "1000"}, {"period_ns", "1000"}}},
      {AlarmGpio, {"/sys/class/gpio/gpio17/value"}, {{"/sys/class/gpio/gpio17/value", "10"}}},
  };
  for (const Case& test_case : cases) {
    for (const Stop stop : {Stop::kSignalToTheGroup, Stop::kGuardDies}) {
      SCOPED_TRACE(std::to_string(test_case.type) + (stop == Stop::kGuardDies ? ", guard dies" : ", SIGTERM"));
      UseAlarmType(test_case.type);
      const auto start = Clock::now();
      Files files;
      if (test_case.type == AlarmGpio) {
        // Only a stop signal: a dead guard could not show the private files.
        if (stop == Stop::kGuardDies) continue;
        UseAlarmOptions("17");
        const alarm_test::IsolatedRun run =
            alarm_test::RunUnderPrivateSysClass(test_case.files, [] { GuardThatStops(Stop::kSignalToTheGroup); });
        if (run.child.exit_code() == alarm_test::kCannotIsolate) continue;
        EXPECT_EQ(run.child.exit_code(), 0) << run.child.Describe();
        files = run.files;
      } else {
        const std::string device = dir_ / (std::to_string(test_case.type) + (stop == Stop::kGuardDies ? "d" : "s"));
        ASSERT_TRUE(std::filesystem::create_directory(device));
        ASSERT_TRUE(MakeAttributes(device, test_case.files));
        UseAlarmOptions(device.c_str());
        const ChildResult guard = RunInChild([stop] { return GuardThatStops(stop); });
        EXPECT_EQ(guard.exit_code(), 0) << guard.Describe();
        for (const std::string& name : test_case.files) files[name] = ReadFile(device + "/" + name).value_or("");
      }
      // Back once every process holding the captured output has ended, the
      // child included.
      const auto took = Clock::now() - start;
      EXPECT_EQ(files, test_case.after);
      EXPECT_LT(took, std::chrono::milliseconds(2500)) << "the beeps play 6 s";
    }
  }
}

// ---- A stuck output ----

TEST_F(SoundAlarmTest, ChildStuckOnItsOutputEndsItself) {
  UseAlarmType(AlarmBuzzer);
  const AlarmStep short_beep[] = {{2900, 100}};
  // A FIFO nobody reads hangs the open itself; one whose reader does not
  // read, filled up, hangs the first write.
  for (const bool reader : {false, true}) {
    SCOPED_TRACE(reader ? "write hangs" : "open hangs");
    const std::string device = dir_ / (reader ? "writes" : "opens");
    ASSERT_TRUE(std::filesystem::create_directory(device));
    ASSERT_EQ(mkfifo((device + "/freq").c_str(), 0600), 0);
    ASSERT_TRUE(MakeAttributes(device, {"volume"}));
    int held = -1;
    if (reader) {
      held = open((device + "/freq").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(held, 0);
      const char block[4096] = {};
      while (write(held, block, sizeof block) > 0) {
      }
    }
    UseAlarmOptions(device.c_str());

    // The child's standard error: its end of file is the child's end.
    int error_pipe[2];
    ASSERT_EQ(pipe2(error_pipe, O_CLOEXEC), 0);
    const int saved_error = dup(STDERR_FILENO);
    dup2(error_pipe[1], STDERR_FILENO);
    const auto start = Clock::now();
    SoundAlarm(short_beep, 1);
    dup2(saved_error, STDERR_FILENO);
    close(saved_error);
    close(error_pipe[1]);

    std::string error;
    pollfd stream = {error_pipe[0], POLLIN, 0};
    char buffer[256];
    ssize_t got = 1;
    while (got > 0 && Clock::now() - start < std::chrono::seconds(30)) {
      if (poll(&stream, 1, 1000) <= 0) continue;
      if ((got = read(error_pipe[0], buffer, sizeof buffer)) > 0) error.append(buffer, static_cast<size_t>(got));
    }
    const auto took = Clock::now() - start;
    close(error_pipe[0]);
    if (held >= 0) close(held);

    EXPECT_EQ(got, 0) << "the child is still there";
    EXPECT_EQ(error, "Alarm output not responding, alarm abandoned\n");
    // The beep's 100 ms and a margin of a few seconds, but no more.
    EXPECT_GT(took, std::chrono::milliseconds(100));
    EXPECT_LT(took, std::chrono::seconds(10));
  }
}

}  // namespace
