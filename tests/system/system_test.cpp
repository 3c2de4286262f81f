// The whole daemon on the emulated boat: a real kernel's CAN stack with two
// controllers on one bus, a uinput keypad, the ALSA loopback card. These
// tests run inside the bench's virtual machine as root (bench/run); times
// are judged with tolerances wide enough for an emulated CPU.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "alarm/alarm.h"
#include "alarm/tone.h"
#include "client/helmwatch_client.h"
#include "guard/tests/test_io.h"
#include "tests/system/bench_session.h"

namespace helmwatch_test {
namespace {

namespace fs = std::filesystem;

constexpr double kTolerance = 0.040;  // s: emulation, not the daemon, sets this
constexpr int kShortHoldMs = 100;
constexpr uint32_t kCommandSource = 35;
constexpr uint32_t kAutopilotAddress = 3;

// The warning starts with the second command and plays for 3.75 s.
constexpr double kWarningEnd = kWindow + kInterval + 3.75;
constexpr int kKeypadKeys[] = {30, 38, 48};

constexpr char kWarningFreq[] = "2900029000290002900029000290002900";
constexpr char kWarningVolume[] = "100000";
constexpr char kClearedFreq[] = "2900";

std::string Shell(const std::string& command) {
  std::string output;
  // NOLINTNEXTLINE(cert-env33-c): the test runs the bench machine's own tools.
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buffer[512];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  pclose(pipe);
  return output;
}

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Where the guard writes its status and history beside the socket.
    dir_ = MakeMemoryFolder("helmwatch-system");
    ASSERT_FALSE(dir_.empty());
    socket_ = dir_ + "/control";
    alarm_dir_ = dir_ + "/buzzer";
    MakeBuzzerDevice(alarm_dir_);
    std::string error;
    ASSERT_TRUE(CreateKeypad(&keypad_, "bench keypad", kKeypadKeys, 3, &error)) << error;
  }

  void TearDown() override {
    daemon_.reset();
    autopilot_.reset();
    DestroyKeypad(&keypad_);
    fs::remove_all(dir_);
  }

  void StartAutopilot(const std::vector<std::string>& options = {}) {
    autopilot_.reset();
    autopilot_ = std::make_unique<Autopilot>(dir_ + "/autopilot.log", options);
  }

  // Starts the daemon with the alarm options given, or by default with the
  // buzzer in the test's folder, and waits for its control socket.
  void StartDaemon(std::vector<std::string> options = {}, const StartOptions& start = {}) {
    if (options.empty()) options = {"-t", "buzzer", "-o", alarm_dir_};
    std::vector<std::string> args = {"-u", socket_};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(keypad_.event_path);
    // One before the other: ending a daemon kills whatever holds its
    // standard error, a new one not yet through exec included.
    daemon_.reset();
    daemon_ = std::make_unique<DaemonProcess>(DaemonCommand(args), start);
    for (const double give_up = Now() + 10; !fs::exists(socket_);) {
      ASSERT_LT(Now(), give_up) << "no control socket; the daemon said: " << daemon_->ReadError();
      ASSERT_TRUE(daemon_->Running()) << daemon_->ReadError();
      SleepFor(0.01);
    }
    // The guard learns both addresses from the first status broadcast.
    SleepFor(0.3);
  }

  // A short press of a guarded key; returns the time of the release.
  double Press(int key = kGuardedKey) {
    EXPECT_TRUE(WriteKeyEdge(keypad_, key, 1));
    SleepFor(kShortHoldMs / 1000.0);
    EXPECT_TRUE(WriteKeyEdge(keypad_, key, 0));
    return Now();
  }

  // Checks that the commands are the guard's full run after a release at
  // released: 8 commands on the quarter second, sequence numbers counting
  // on from first_sequence.
  void ExpectFullRun(const std::vector<CommandSeen>& commands, double released,
                     int first_sequence) {
    ASSERT_EQ(commands.size(), static_cast<size_t>(kRetries));
    for (int k = 0; k < kRetries; ++k) {
      const CommandSeen& command = commands[static_cast<size_t>(k)];
      SCOPED_TRACE("command " + std::to_string(k));
      EXPECT_NEAR(command.time - released, kWindow + k * kInterval, kTolerance);
      EXPECT_EQ(command.sequence, (first_sequence + k) % 8);
      EXPECT_EQ(command.source, static_cast<int>(kCommandSource));
      EXPECT_EQ(command.target, static_cast<int>(kAutopilotAddress));
    }
  }

  // A press now, and its full run of commands after those sent before it.
  void ExpectFullRunOfNextPress(const std::string& what) {
    SCOPED_TRACE("the press " + what);
    const size_t before = autopilot_->Commands().size();
    const double released = Press();
    SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
    const auto commands = autopilot_->Commands();
    ExpectFullRun({commands.begin() + static_cast<std::ptrdiff_t>(before), commands.end()}, released,
                  static_cast<int>(before % 8));
  }

  // After a release at released: the one command at the window's end, then
  // the cleared beep on the buzzer and no warning.
  void ExpectOneCommandThenTheClearedBeep(double released) {
    SleepUntil(released + kWindow + 1.5);
    const auto commands = autopilot_->Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_NEAR(commands[0].time - released, kWindow, kTolerance);
    EXPECT_EQ(ReadFile(alarm_dir_ + "/freq"), kClearedFreq) << "the cleared beep, no warning";
    EXPECT_EQ(ReadFile(alarm_dir_ + "/volume"), "100000");
  }

  // Nothing written to the buzzer's files, which start empty.
  bool AlarmFilesUntouched() const {
    for (const auto& entry : fs::directory_iterator(alarm_dir_))
      if (fs::file_size(entry.path()) != 0) return false;
    return true;
  }

  bool Pings(int timeout_ms = 500) {
    const int fd = HelmwatchConnect(socket_.c_str());
    if (fd < 0) return false;
    const int answer = HelmwatchPing(fd, timeout_ms);
    HelmwatchClose(fd);
    return answer == 1;
  }

  std::string dir_;
  std::string socket_;
  std::string alarm_dir_;
  SimKeypad keypad_;
  std::unique_ptr<Autopilot> autopilot_;
  std::unique_ptr<DaemonProcess> daemon_;
};

// --- start-up -------------------------------------------------------------

TEST_F(SystemTest, StartUpConfiguresCan0At250kWithBusErrorReporting) {
  StartAutopilot();
  StartDaemon();
  // The controller shows no carrier for about a second after it starts.
  std::string link = Shell("ip -details link show can0");
  for (const double give_up = Now() + 3; link.find("state UP") == std::string::npos && Now() < give_up;) {
    SleepFor(0.1);
    link = Shell("ip -details link show can0");
  }
  EXPECT_NE(link.find("bitrate 250000"), std::string::npos) << link;
  EXPECT_NE(link.find("restart-ms 100"), std::string::npos) << link;
  EXPECT_NE(link.find("BERR-REPORTING"), std::string::npos) << link;
  EXPECT_NE(link.find("state UP"), std::string::npos) << link;
  EXPECT_EQ(daemon_->ReadError(), "") << "a healthy start prints nothing";
}

TEST_F(SystemTest, StartUpTakesRealTimePriorityAndOutOfMemoryProtection) {
  StartAutopilot();
  StartDaemon();
  const pid_t pid = daemon_->pid();
  EXPECT_EQ(sched_getscheduler(pid), SCHED_FIFO);
  sched_param param{};
  ASSERT_EQ(sched_getparam(pid, &param), 0);
  EXPECT_EQ(param.sched_priority, sched_get_priority_min(SCHED_FIFO));
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/oom_score_adj"), "-1000\n");
  // Its memory is locked: VmLck is its whole resident size, not 0 kB.
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t locked = status.find("VmLck:");
  ASSERT_NE(locked, std::string::npos);
  EXPECT_GT(std::stol(status.substr(locked + 6)), 0) << status.substr(locked, 30);
}

TEST_F(SystemTest, StartUpWithoutPrivilegeRunsWithoutControlSocket) {
  StartAutopilot();
  ASSERT_EQ(chmod(keypad_.event_path.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  StartOptions nobody;
  nobody.as_nobody = true;
  daemon_ = std::make_unique<DaemonProcess>(
      DaemonCommand({"-u", socket_, keypad_.event_path}), nobody);
  EXPECT_TRUE(daemon_->WaitForError("Lack proper privileges\n")) << daemon_->error_text();
  EXPECT_NE(daemon_->error_text().find("CAN failed to initialize\n"), std::string::npos);
  SleepFor(0.5);
  EXPECT_TRUE(daemon_->Running());
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(SystemTest, SecondStartLeavesTheRunningGuardAndItsBusAlone) {
  StartAutopilot();
  // Every change of can0 as the kernel reports it; the first guard's own
  // start-up shows that the monitor sees them.
  DaemonProcess monitor({"sh", "-c", "exec ip monitor link >&2"});
  SleepFor(0.3);
  StartDaemon();
  ASSERT_TRUE(monitor.WaitForError("can0")) << "the monitor saw no change of can0";
  SleepFor(0.5);
  const size_t seen = monitor.ReadError().size();

  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  DaemonProcess second(DaemonCommand({"-u", socket_, keypad_.event_path}));
  const auto status = second.WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(WEXITSTATUS(*status), 1);
  EXPECT_EQ(second.ReadErrorToEnd(), "A guard is already running on " + socket_ + "\n");
  SleepFor(0.5);
  EXPECT_EQ(monitor.ReadError().substr(seen).find("can0"), std::string::npos)
      << "the second start touched can0: " << monitor.error_text().substr(seen);

  // The first guard still serves its client and commands the autopilot.
  EXPECT_EQ(HelmwatchPing(client, 1000), 1);
  const double released = Press();
  SleepUntil(released + kWindow + 0.5);
  ASSERT_FALSE(autopilot_->Commands().empty());
  EXPECT_NEAR(autopilot_->Commands()[0].time - released, kWindow, kTolerance);
  HelmwatchClose(client);
}

TEST_F(SystemTest, SocketLeftByAKilledGuardIsReplacedAtTheNextStart) {
  StartAutopilot();
  StartDaemon();
  kill(daemon_->pid(), SIGKILL);
  ASSERT_TRUE(daemon_->WaitForExit().has_value());
  ASSERT_TRUE(fs::exists(socket_)) << "a killed guard leaves its socket";
  daemon_.reset();
  daemon_ = std::make_unique<DaemonProcess>(
      DaemonCommand({"-u", socket_, "-t", "buzzer", "-o", alarm_dir_, keypad_.event_path}));
  bool served = false;
  for (const double give_up = Now() + 10; !served && Now() < give_up; SleepFor(0.05)) served = Pings(100);
  EXPECT_TRUE(served) << daemon_->ReadError();
  EXPECT_EQ(daemon_->ReadError(), "");
}

TEST_F(SystemTest, StartUpDetachesWithDashD) {
  StartAutopilot();
  DaemonProcess parent(DaemonCommand({"-d", "-u", socket_, keypad_.event_path}));
  const auto status = parent.WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  for (const double give_up = Now() + 10; !fs::exists(socket_) && Now() < give_up;) SleepFor(0.01);
  SleepFor(0.3);
  EXPECT_TRUE(Pings()) << "the detached daemon serves its socket";
  const double released = Press();
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  EXPECT_EQ(autopilot_->Commands().size(), static_cast<size_t>(kRetries));
  parent.KillAll();
}

// The status line beside the socket, as helmwatch-ctl shows it, and the
// journal's line for each loss and return.
TEST_F(SystemTest, StatusFollowsTheKeypadTheBusAndTheAutopilot) {
  StartAutopilot();
  StartDaemon();
  const std::string status = std::string(HELMWATCH_CTL) + " -u " + socket_ + " status; echo $?";
  const std::string healthy = "keypad present; CAN up; autopilot 3, command source 35; no UI; alarm buzzer";
  EXPECT_EQ(Shell(status), "guard idle; " + healthy + "\n0\n");

  const std::string path = keypad_.event_path;
  DestroyKeypad(&keypad_);
  ASSERT_TRUE(daemon_->WaitForError("Input device " + path + " is gone")) << daemon_->error_text();
  Shell("ip link set can0 down");
  ASSERT_TRUE(daemon_->WaitForError("CAN interface can0 is down\n")) << daemon_->error_text();
  EXPECT_NE(ReadFile(socket_ + ".status").find("keypad gone; CAN down;"), std::string::npos)
      << ReadFile(socket_ + ".status");
  Shell("ip link set can0 up");
  // The autopilot's next broadcast shows the bus up again.
  ASSERT_TRUE(daemon_->WaitForError("CAN bus can0 is up again\n")) << daemon_->error_text();

  autopilot_.reset();
  ASSERT_TRUE(daemon_->WaitForError("No autopilot status heard for 5 s\n")) << daemon_->error_text();
  EXPECT_NE(ReadFile(socket_ + ".status").find("CAN up; autopilot 3 silent since "), std::string::npos)
      << ReadFile(socket_ + ".status");
  StartAutopilot();
  ASSERT_TRUE(daemon_->WaitForError("Autopilot status heard again\n")) << daemon_->error_text();

  kill(daemon_->pid(), SIGKILL);
  daemon_->WaitForExit();
  EXPECT_EQ(Shell(status).rfind("not running; its last status: guard idle; keypad gone; ", 0), 0u);
}

// --- the unconfirmed press -------------------------------------------------

TEST_F(SystemTest, UnconfirmedPressSendsEightCommandsOnTheQuarterSecondAndSoundsTheWarning) {
  StartAutopilot();
  StartDaemon();
  WriteRecorder writes(alarm_dir_);
  const double released = Press();

  SleepUntil(released + 4.0);
  EXPECT_FALSE(Pings(100)) << "a busy guard does not answer pings";
  SleepUntil(released + kWindow + kRetries * kInterval + 0.25);
  EXPECT_TRUE(Pings()) << "the guard is idle again after its eighth interval";

  ExpectFullRun(autopilot_->Commands(), released, 0);
  EXPECT_TRUE(autopilot_->Problems().empty()) << autopilot_->Problems()[0];

  // Every command is the same two frames; the identifier and payload are
  // judged by the autopilot's reassembly, the raw frames here.
  int frames = 0;
  for (const AutopilotEvent& event : autopilot_->Events()) {
    if (event.words[0] != "rx") continue;
    ++frames;
    EXPECT_EQ(event.words[1], "09FF2223");
  }
  EXPECT_EQ(frames, 2 * kRetries);

  const auto recorded = writes.Writes();
  ASSERT_FALSE(recorded.empty()) << "no alarm was written";
  EXPECT_NEAR(recorded.front().time - released, kWindow + kInterval, 2 * kTolerance);
  SleepUntil(released + kWarningEnd + 0.5);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/freq"), kWarningFreq);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/volume"), kWarningVolume);
}

TEST_F(SystemTest, SequenceNumbersCountOnAcrossEpisodes) {
  // The first episode ends after one command, the second runs in full.
  StartAutopilot({"--standby-on-command=50", "--standby-for=1500"});
  StartDaemon();
  const double first = Press();
  SleepUntil(first + kWindow + 2.0);
  ASSERT_EQ(autopilot_->Commands().size(), 1u);
  const double second = Press();
  SleepUntil(second + kWindow + kRetries * kInterval + 0.3);
  auto commands = autopilot_->Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0].sequence, 0);
  commands.erase(commands.begin());
  // The autopilot goes to standby again at the second episode's first
  // command: one more command, sequence 1.
  EXPECT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].sequence, 1);
  EXPECT_NEAR(commands[0].time - second, kWindow, kTolerance);
}

// --- confirmation ----------------------------------------------------------

TEST_F(SystemTest, ConfirmedPressSendsNothingAndSoundsNothing) {
  StartAutopilot();
  StartDaemon();
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  const double released = Press();
  SleepUntil(released + 1.0);
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  ASSERT_EQ(HelmwatchWithdraw(client), 0);
  SleepUntil(released + kWindow + kRetries * kInterval + 0.5);
  EXPECT_EQ(autopilot_->FramesReceived(), 0);
  EXPECT_TRUE(AlarmFilesUntouched());
  EXPECT_EQ(HelmwatchPing(client, 1000), 1);
  HelmwatchClose(client);
}

TEST_F(SystemTest, ConfirmationAfterTheWindowChangesNothing) {
  StartAutopilot();
  StartDaemon();
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  const double released = Press();
  SleepUntil(released + kWindow + 0.5);
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  ExpectFullRun(autopilot_->Commands(), released, 0);
  HelmwatchClose(client);
}

// A 2 confirms the press it was sent for and no other: one sent on the
// key-down confirms that press; one that came too late, or long before a
// press, leaves the next press to run its course while the UI stays silent.
TEST_F(SystemTest, AConfirmationCountsOnlyForThePressItWasSentFor) {
  StartAutopilot();
  StartDaemon();
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  ASSERT_TRUE(WriteKeyEdge(keypad_, kGuardedKey, 1));
  ASSERT_EQ(HelmwatchConfirm(client), 0);  // the UI acting on the key-down
  SleepFor(kShortHoldMs / 1000.0);
  ASSERT_TRUE(WriteKeyEdge(keypad_, kGuardedKey, 0));
  SleepFor(kWindow + 0.5);
  EXPECT_EQ(autopilot_->FramesReceived(), 0) << "the press confirmed on its key-down";
  EXPECT_TRUE(AlarmFilesUntouched());

  const double late = Press();
  SleepUntil(late + 3.6);
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  SleepUntil(late + kWindow + kRetries * kInterval + 5.0);
  ExpectFullRunOfNextPress("after a late 2");

  ASSERT_EQ(HelmwatchConfirm(client), 0);
  SleepFor(5.0);
  ExpectFullRunOfNextPress("5 s after a stray 2");
  HelmwatchClose(client);
}

TEST_F(SystemTest, PingIsEchoedAndTheNewestClientWins) {
  StartAutopilot();
  StartDaemon();
  const int first = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(first, 0);
  EXPECT_EQ(HelmwatchPing(first, 1000), 1);
  const int second = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(second, 0);
  EXPECT_EQ(HelmwatchReadEchoes(first, 2000), -1) << "the older client is closed";
  EXPECT_EQ(HelmwatchPing(second, 1000), 1);
  HelmwatchClose(first);
  HelmwatchClose(second);
}

TEST_F(SystemTest, CommandLineClientPingsConfirmsAndWatches) {
  StartAutopilot();
  StartDaemon();
  const std::string ctl = std::string(HELMWATCH_CTL) + " -u " + socket_ + " ";
  EXPECT_EQ(Shell(ctl + "ping"), "the guard is idle\n");

  const double released = Press();
  SleepUntil(released + 0.5);
  EXPECT_EQ(Shell(ctl + "-t 300 ping; echo status $?"), "no answer within 300 ms\nstatus 1\n")
      << "a guard waiting for confirmation does not answer";
  EXPECT_EQ(Shell(ctl + "confirm; echo status $?"), "status 0\n");
  SleepUntil(released + kWindow + 1.0);
  EXPECT_EQ(autopilot_->FramesReceived(), 0) << "the confirmation held";

  // The idle guard answers a standing ping at each wake-up: the autopilot's
  // status broadcasts wake it ten times a second.
  std::istringstream lines(Shell(ctl + "watch 1"));
  int echoes = 0;
  for (std::string line; std::getline(lines, line);) echoes += line.ends_with(" echo");
  EXPECT_GE(echoes, 3);
  EXPECT_EQ(Shell(ctl + "frobnicate >/dev/null 2>&1; echo status $?"), "status 2\n");
}

// --- the autopilot's standby report ----------------------------------------

TEST_F(SystemTest, StandbyReportedAt3100msEndsWithOneCommandAndTheClearedBeep) {
  StartAutopilot({"--standby-on-command=100"});
  StartDaemon();
  ExpectOneCommandThenTheClearedBeep(Press());
  EXPECT_TRUE(Pings());
}

TEST_F(SystemTest, StandbyReportedJustAfterTheSecondCommandCutsTheWarningShort) {
  StartAutopilot({"--standby-on-command=350"});
  StartDaemon();
  const double released = Press();
  SleepUntil(released + kWarningEnd + 0.5);
  // Commands at 3.0 and 3.25 s, the warning from the second; the report at
  // 3.35 s ends the episode.
  EXPECT_EQ(autopilot_->Commands().size(), 2u);
  // The warning's child had switched the buzzer off and was gone before the
  // all-clear's child opened the files afresh: they hold the all-clear alone.
  EXPECT_EQ(ReadFile(alarm_dir_ + "/freq"), kClearedFreq);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/volume"), "100000");
  EXPECT_TRUE(Pings());
}

TEST_F(SystemTest, StatusIsSeenInTheMiddleOfAFloodOfOtherTraffic) {
  StartAutopilot({"--standby-on-command=100"});
  StartDaemon();
  // Engine data as fast as the emulated bus carries it: none of it reaches
  // the guard, the autopilot's status does.
  DaemonProcess flood({"cangen", "can1", "-e", "-I", "0CF00400", "-L", "8", "-D", "i", "-g", "1",
                       "-c", "2", "-x", "-p", "10"});
  SleepFor(0.5);
  ExpectOneCommandThenTheClearedBeep(Press());
}

TEST_F(SystemTest, StandbyReportedBeforeThePressEndsAfterOneCommand) {
  StartAutopilot({"--standby"});
  StartDaemon();
  ExpectOneCommandThenTheClearedBeep(Press());
}

TEST_F(SystemTest, WithoutCommandSourceNothingIsSentButTheAlarmSounds) {
  StartAutopilot({"--no-command-source"});
  StartDaemon();
  const double released = Press();
  SleepUntil(released + kWarningEnd + 0.5);
  EXPECT_EQ(autopilot_->FramesReceived(), 0);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/freq"), kWarningFreq);
}

// --- alarm outputs ----------------------------------------------------------

TEST_F(SystemTest, DualBuzzerWritesDutyAndPeriod) {
  StartAutopilot({"--no-command-source"});
  StartDaemon({"-t", "dualbuzzer", "-o", alarm_dir_});
  const double released = Press();
  SleepUntil(released + kWarningEnd + 0.5);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/duty_ns"), "1000100010001000100010001000");
  EXPECT_EQ(ReadFile(alarm_dir_ + "/period_ns"), "1000100010001000100010001000");
}

TEST_F(SystemTest, GpioLineFollowsThePattern) {
  // A throw-away machine: the GPIO class folder gets a tmpfs of its own.
  ASSERT_EQ(mount("gpio", "/sys/class/gpio", "tmpfs", 0, nullptr), 0);
  fs::create_directory("/sys/class/gpio/gpio17");
  ASSERT_TRUE(std::ofstream("/sys/class/gpio/gpio17/value"));
  StartAutopilot({"--no-command-source"});
  StartDaemon({"-t", "gpio", "-o", "17"});
  const double released = Press();
  SleepUntil(released + kWarningEnd + 0.5);
  EXPECT_EQ(ReadFile("/sys/class/gpio/gpio17/value"), "10101010101010");
  umount("/sys/class/gpio");
}

// --- the alarm child ------------------------------------------------------

TEST_F(SystemTest, ServiceStopMidWarningLeavesTheBuzzerOff) {
  StartAutopilot({"--no-command-source"});
  // As a service manager runs it: a group of its own, every process in it
  // told to stop.
  StartOptions service;
  service.own_process_group = true;
  StartDaemon({}, service);
  const double released = Press();
  SleepUntil(released + kWindow + kInterval + 1.1);  // within the warning's third beep
  ASSERT_EQ(ReadFile(alarm_dir_ + "/volume"), "10000") << "the warning sounds";
  ASSERT_EQ(kill(-daemon_->pid(), SIGTERM), 0);
  SleepFor(0.5);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/volume"), "100000") << "the volume is off";
  const std::string freq = ReadFile(alarm_dir_ + "/freq");
  EXPECT_LT(freq.size(), std::string(kWarningFreq).size()) << "the warning stopped: " << freq;
  EXPECT_TRUE(ProcessesWithOpenFile(alarm_dir_ + "/volume").empty()) << "the alarm child has ended";
  EXPECT_FALSE(daemon_->Running());
}

TEST_F(SystemTest, ReplacedClientSeesEndOfFileAtOnceWhileTheWarningPlays) {
  StartAutopilot({"--no-command-source"});
  StartDaemon();
  const int first = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(first, 0);
  const double released = Press();
  // The warning's child was forked while the first client was connected.
  SleepUntil(released + kWindow + kInterval + 0.5);
  const int second = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(second, 0);
  const double replaced = Now();
  EXPECT_EQ(HelmwatchReadEchoes(first, 2000), -1) << "the older client is closed";
  EXPECT_LT(Now() - replaced, 0.5) << "at the guard's next wake-up, not at the warning's end";
  HelmwatchClose(first);
  HelmwatchClose(second);
}

// The samples the speaker should play for a pattern, one per frame (both
// channels carry the same).
std::vector<int16_t> ExpectedTone(const AlarmStep* pattern, int steps) {
  std::vector<int16_t> samples;
  double phase = 0;
  for (int i = 0; i < steps; ++i) {
    const int32_t frames = static_cast<int32_t>(44100 * pattern[i].duration_ms / 1000);
    std::vector<unsigned char> bytes(static_cast<size_t>(frames) * kToneFrameBytes);
    phase = SynthesizeTone(bytes.data(), frames, phase, pattern[i].frequency_hz * kToneTwoPi / 44100.0);
    for (size_t f = 0; f < bytes.size(); f += kToneFrameBytes)
      samples.push_back(static_cast<int16_t>(bytes[f] | bytes[f + 1] << 8));
  }
  return samples;
}

// Compares what the loopback captured with the expected samples. The
// software volume at its top passes samples within a step or two of their
// value. While the stream drains, the loopback card may slip a few
// milliseconds into its last period: the wave must match exactly up to that
// period, its last samples must follow within 10 ms of where they are due,
// and silence must follow within another 10 ms.
void ExpectCaptured(const std::string& raw, const std::vector<int16_t>& expected) {
  constexpr size_t kPeriod = 2205;
  constexpr size_t kSlip = 441;
  constexpr size_t kTail = 256;
  const auto* left = reinterpret_cast<const int16_t*>(raw.data());
  const size_t frames = raw.size() / 4;
  size_t start = 0;
  while (start < frames && left[2 * start] == 0) ++start;
  ASSERT_LT(start, frames) << "nothing was played";
  --start;  // every pattern begins with the sample 0
  ASSERT_GT(expected.size(), kPeriod + kTail);
  ASSERT_GE(frames - start, expected.size() + kSlip + 4410) << "the recording ended too soon";

  for (size_t i = 0; i + kPeriod < expected.size(); ++i) {
    const size_t frame = start + i;
    ASSERT_NEAR(left[2 * frame], expected[i], 4) << "frame " << i << " of " << expected.size();
    ASSERT_EQ(left[2 * frame], left[2 * frame + 1]) << "both channels, frame " << i;
  }

  const size_t tail = expected.size() - kTail;
  const auto tail_at = [&](size_t shift) {
    for (size_t k = 0; k < kTail; ++k)
      if (std::abs(left[2 * (start + tail + shift + k)] - expected[tail + k]) > 4) return false;
    return true;
  };
  size_t slip = 0;
  while (slip <= kSlip && !tail_at(slip)) ++slip;
  ASSERT_LE(slip, kSlip) << "the pattern's last " << kTail << " samples were not found";
  ::testing::Test::RecordProperty("drain_slip_frames", static_cast<int>(slip));

  // After the stream's end the card can copy up to a tick of stale buffer
  // content (aplay's streams show the same); then silence.
  const size_t end = start + expected.size() + slip;
  size_t stale = 0;
  for (size_t i = end; i < end + kSlip; ++i)
    if (left[2 * i] != 0) stale = i - end + 1;
  ::testing::Test::RecordProperty("stale_frames_after_end", static_cast<int>(stale));
  for (size_t i = end + kSlip; i < end + 4410; ++i)
    ASSERT_EQ(left[2 * i], 0) << "silence after the pattern, frame " << i - start;
}

// Records the loopback's capture side for seconds into path, in the background.
void StartRecording(const std::string& path, int seconds) {
  const std::string command = "arecord -q -D hw:Loopback,1,0 -f S16_LE -c 2 -r 44100 -t raw -d " +
                              std::to_string(seconds) + " " + path + " &";
  // NOLINTNEXTLINE(cert-env33-c): arecord runs in the background of a shell.
  ASSERT_EQ(std::system(command.c_str()), 0);
  SleepFor(0.5);
}

TEST_F(SystemTest, SpeakerPlaysTheClearedBeepThroughDefaultAtFullVolume) {
  Shell("amixer -q sset DAC 50%");
  StartAutopilot({"--standby-on-command=100"});
  StartDaemon({"-t", "speaker"});
  const std::string capture = dir_ + "/capture.raw";
  StartRecording(capture, 6);
  const double released = Press();
  SleepUntil(released + kWindow + 1.5);
  ASSERT_EQ(autopilot_->Commands().size(), 1u);
  const std::string mixer = Shell("amixer sget DAC");
  EXPECT_NE(mixer.find("[100%]"), std::string::npos) << mixer;
  SleepUntil(released + 6.0);  // the recording has ended by itself
  ExpectCaptured(ReadFile(capture), ExpectedTone(kClearedPattern, kClearedPatternSteps));
}

TEST_F(SystemTest, SpeakerPlaysTheWarningToneAndSilences) {
  StartAutopilot({"--no-command-source"});
  StartDaemon({"-t", "speaker"});
  const std::string capture = dir_ + "/capture.raw";
  StartRecording(capture, 9);
  const double released = Press();
  SleepUntil(released + 9.0);
  ExpectCaptured(ReadFile(capture), ExpectedTone(kWarningPattern, kWarningPatternSteps));
}

// --- the running guard's memory ---------------------------------------------

// The whole guard loop over several episodes (a confirmed press, a press the
// autopilot answers while the warning plays, pings, clients coming and
// going) takes nothing from the heap: the daemon counted by a preloaded
// allocator, its alarm children not.
TEST_F(SystemTest, RunningGuardAllocatesNothing) {
  const std::string counter_path = dir_ + "/allocations";
  const uint64_t zero = 0;
  const int counter = open(counter_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(counter, 0);
  ASSERT_EQ(write(counter, &zero, sizeof zero), static_cast<ssize_t>(sizeof zero));
  // Read afresh each time (no stdio buffer): the daemon counts through a
  // shared mapping of the file.
  const auto allocations = [&] {
    uint64_t count = 0;
    EXPECT_EQ(pread(counter, &count, sizeof count, 0), static_cast<ssize_t>(sizeof count));
    return count;
  };
  setenv("HELMWATCH_ALLOCATION_COUNTER", counter_path.c_str(), 1);
  setenv("LD_PRELOAD", HELMWATCH_ALLOCATION_COUNTER_LIBRARY, 1);
  StartAutopilot({"--standby-on-command=1000", "--standby-for=1500"});
  StartDaemon();
  unsetenv("LD_PRELOAD");
  unsetenv("HELMWATCH_ALLOCATION_COUNTER");
  const uint64_t at_start = allocations();
  EXPECT_GT(at_start, 0u) << "the counter counts nothing";

  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  EXPECT_EQ(HelmwatchPing(client, 1000), 1);
  const double confirmed = Press();
  SleepUntil(confirmed + 0.5);
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  HelmwatchClose(client);
  const double answered = Press();
  SleepUntil(answered + kWarningEnd + 0.5);
  EXPECT_GE(autopilot_->Commands().size(), 4u);
  EXPECT_TRUE(Pings());
  EXPECT_EQ(allocations(), at_start);
  close(counter);
}

// --- what the guard tells -------------------------------------------------

// Each episode's record, when it ends: an unconfirmed press while no command
// source is known (with the line said the moment its first command cannot
// go), a confirmed press and an unconfirmed one the autopilot answers just
// after the second command. helmwatch-ctl history shows the same records,
// and the status line the last one.
TEST_F(SystemTest, EachEpisodeLeavesOneRecordOfHowItEnded) {
  StartAutopilot({"--no-command-source"});
  StartDaemon();
  const double unsent = Press();
  SleepUntil(unsent + kWindow + kRetries * kInterval + 0.3);
  StartAutopilot({"--standby-on-command=320"});
  SleepFor(0.3);
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  SleepUntil(Press() + 0.5);
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  SleepFor(0.5);
  const double answered = Press();
  SleepUntil(answered + kWindow + 1.5);
  HelmwatchClose(client);

  const std::string cause = "the command source address is not known (no kind-11 status heard since start)";
  const std::string said = daemon_->ReadError();
  // The emulated machine may read a key-up a millisecond late or more.
  const std::regex varying("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]{12}( \\(read [0-9]+ ms later\\))?|[0-9]+ ms");
  // Both unconfirmed episodes fall within one flight of the bus.
  EXPECT_EQ(std::regex_replace(said, varying, "#"),
            "Standby command not sent: " + cause + "\n" +
                "Press of the autopilot key released at #: not confirmed; no standby command reached "
                "the bus; 8 commands not sent: " + cause + "; given up after 8 commands with no standby "
                "report; warning alarm started; the bus around it in flight 000001\n"
                "Press of the autopilot key released at #: confirmed by the UI after #\n"
                "Press of the autopilot key released at #: not confirmed; standby commanded 2 times, "
                "the first 3.0 s after the release; the autopilot reported standby # after the first "
                "command; warning alarm started, cut short by the all-clear; the bus around it in flight "
                "000001\n");
  const std::string ctl = std::string(HELMWATCH_CTL) + " -u " + socket_;
  EXPECT_EQ(Shell(ctl + " history 3"), said.substr(said.find('\n') + 1));
  EXPECT_NE(Shell(ctl + " status").find("; alarm buzzer; last press "), std::string::npos);
  EXPECT_TRUE(Shell(ctl + " status").ends_with(" standby after 2 commands\n")) << Shell(ctl + " status");
}

// --- faults ----------------------------------------------------------------

// Standard error that nobody reads, full before the start, and a line to
// write in the middle of an unconfirmed press (the keypad unplugged): the
// line is lost, not the commands, and the guard still answers.
// The flight of an unconfirmed press the autopilot answers after its second
// command, fetched with helmwatch-ctl flight once its 10 s after the
// episode are over: candump's log format, which can-utils' log2asc reads
// whole; the autopilot's status from before the press, the guard's
// commands as they reached the bus (two, so four frames), stamps in
// order; the record names it.
TEST_F(SystemTest, FlightOfAnUnconfirmedPressKeepsWhatTheBusSaid) {
  StartAutopilot({"--standby-on-command=350"});
  StartDaemon();
  const double released = Press();
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  const double released_wall = static_cast<double>(wall.tv_sec) + static_cast<double>(wall.tv_nsec) / 1e9 -
                               (Now() - released);
  SleepUntil(released + kWindow + kInterval + 0.1 + 10 + 2);
  const std::string ctl = std::string(HELMWATCH_CTL) + " -u " + socket_;
  const std::string flight = Shell(ctl + " flight");
  std::printf("helmwatch-ctl flight:\n%s", flight.c_str());
  const std::regex frame("\\(([0-9]{10})\\.([0-9]{6})\\) can0 ([0-9A-F]{8})#([0-9A-F]{0,16})");
  std::istringstream lines(flight);
  int frames = 0;
  int commands = 0;
  int statuses_before = 0;
  double last = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch got;
    ASSERT_TRUE(std::regex_match(line, got, frame)) << line;
    frames += 1;
    const double at = std::stod(got[1].str() + "." + got[2].str());
    EXPECT_GE(at, last) << line;
    last = at;
    const unsigned long id = std::stoul(got[3].str(), nullptr, 16);
    if ((id & 0x3FFFF00) == 0x1FF2200) commands += 1;
    if ((id & 0x3FFFF00) == 0xFF1900 && at < released_wall) statuses_before += 1;
  }
  EXPECT_GT(statuses_before, 0) << flight;
  EXPECT_EQ(commands, 4) << flight;
  const std::string file = dir_ + "/flight.log";
  std::ofstream(file) << flight;
  const std::string asc = Shell("log2asc -I " + file + " can0");
  EXPECT_EQ(std::count(asc.begin(), asc.end(), '\n'), frames + 3) << asc;  // its 3 header lines
  EXPECT_NE(Shell(ctl + " history").find("; the bus around it in flight 000001"), std::string::npos);
}

TEST_F(SystemTest, StandardErrorNobodyReadsCostsLinesNotCommands) {
  StartAutopilot();
  StartOptions full;
  full.error_pipe_full = true;
  StartDaemon({}, full);
  const double released = Press();
  SleepUntil(released + 1.0);
  DestroyKeypad(&keypad_);
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  ExpectFullRun(autopilot_->Commands(), released, 0);
  EXPECT_TRUE(Pings());
}

TEST_F(SystemTest, KeypadUnpluggedAndBackCostsNoCpuAndGuardsAgain) {
  StartAutopilot();
  StartDaemon();
  const std::string path = keypad_.event_path;
  DestroyKeypad(&keypad_);
  ASSERT_TRUE(daemon_->WaitForError("Input device " + path + " is gone")) << daemon_->error_text();
  const double before = CpuSeconds(daemon_->pid());
  ASSERT_GT(before, 0) << "no CPU time can be read for the daemon";
  SleepFor(2.0);
  EXPECT_LT(CpuSeconds(daemon_->pid()) - before, 0.25)
      << "CPU seconds used in 2 s while the keypad was gone";

  std::string error;
  ASSERT_TRUE(CreateKeypad(&keypad_, "bench keypad", kKeypadKeys, 3, &error)) << error;
  if (keypad_.event_path == path) {
    ASSERT_TRUE(daemon_->WaitForError("Input device " + path + " is back")) << daemon_->error_text();
    const double released = Press();
    SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
    ExpectFullRun(autopilot_->Commands(), released, 0);
  } else {
    GTEST_SKIP() << "the keypad came back as " << keypad_.event_path << ", not " << path;
  }
}

TEST_F(SystemTest, RelativeKeypadPathIsTakenBackAfterDetaching) {
  StartAutopilot();
  const fs::path event = keypad_.event_path;
  StartOptions from_input_folder;
  from_input_folder.working_directory = event.parent_path();
  const std::string given = event.filename();
  // Detached, the guard works from /, where the path as given names nothing.
  daemon_ = std::make_unique<DaemonProcess>(
      DaemonCommand({"-d", "-u", socket_, "-t", "buzzer", "-o", alarm_dir_, given}),
      from_input_folder);
  for (const double give_up = Now() + 10; !fs::exists(socket_) && Now() < give_up;) SleepFor(0.01);
  SleepFor(0.3);
  DestroyKeypad(&keypad_);
  ASSERT_TRUE(daemon_->WaitForError("Input device " + given + " is gone")) << daemon_->error_text();
  std::string error;
  ASSERT_TRUE(CreateKeypad(&keypad_, "bench keypad", kKeypadKeys, 3, &error)) << error;
  if (keypad_.event_path != event) GTEST_SKIP() << "the keypad came back as " << keypad_.event_path;
  ASSERT_TRUE(daemon_->WaitForError("Input device " + given + " is back")) << daemon_->error_text();
  const double released = Press();
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  ExpectFullRun(autopilot_->Commands(), released, 0);
}

TEST_F(SystemTest, ClientThatNeverReadsDoesNotShiftTheCadenceOnABusyBus) {
  StartAutopilot({"--period=2"});
  StartDaemon();
  // A standing ping is answered at every wake-up: with a status frame every
  // 2 ms the client's buffer is full in moments.
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);
  const unsigned char ping = HELMWATCH_PING;
  ASSERT_EQ(write(client, &ping, 1), 1);
  SleepFor(2.0);
  const double released = Press();
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  ExpectFullRun(autopilot_->Commands(), released, 0);
  EXPECT_GT(HelmwatchReadEchoes(client, 1000), 0);
  HelmwatchClose(client);
}

TEST_F(SystemTest, ThousandRapidConnectionsLoseNothing) {
  StartAutopilot();
  StartDaemon();
  int refused = 0;
  for (int i = 0; i < 1000; ++i) {
    const int fd = HelmwatchConnect(socket_.c_str());
    if (fd < 0) {
      ++refused;  // the backlog of 2 was full for a moment
      SleepFor(0.001);
      continue;
    }
    HelmwatchClose(fd);
  }
  RecordProperty("refused", refused);
  EXPECT_TRUE(daemon_->Running());
  EXPECT_TRUE(Pings(1000));
  const double released = Press();
  SleepUntil(released + kWindow + kRetries * kInterval + 0.3);
  ExpectFullRun(autopilot_->Commands(), released, 0);
  // Nothing said but the press's record.
  const std::string said = daemon_->ReadError();
  EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
  EXPECT_NE(said.find(": not confirmed; standby commanded 8 times"), std::string::npos) << said;
}

// --- commissioning --------------------------------------------------------

struct CheckRun {
  std::string report;
  int status;
};

CheckRun RunCheck(const std::string& socket, const std::string& words) {
  const double started = Now();
  const std::string out = Shell(std::string(HELMWATCH_CTL) + " -u " + socket + " check " + words +
                                " 2>/dev/null; echo \"exit $?\"");
  const size_t exit_line = out.rfind("exit ");
  std::printf("helmwatch-ctl check %s (%.2f s):\n%s", words.c_str(), Now() - started, out.c_str());
  return {out.substr(0, exit_line), std::stoi(out.substr(exit_line + 5))};
}

// The report of a correct installation, of a silent autopilot, a keypad
// without the guarded keys and an unusable alarm output, of a press and of the all-clear on the buzzer,
// made beside a guard whose UI client and bus it leaves alone.
TEST_F(SystemTest, CommissioningCheckReportsTheInstallationAndLeavesTheGuardAlone) {
  StartAutopilot();
  StartDaemon();
  // The socket as the service makes it (its Group= and UMask=0117), the
  // group as the package creates it.
  const auto group_id = [] {
    group entry;
    group* found = nullptr;
    char buffer[1024];
    return getgrnam_r("helmwatch", &entry, buffer, sizeof buffer, &found) == 0 && found ? found->gr_gid : 0;
  };
  if (group_id() == 0) std::ofstream("/etc/group", std::ios::app) << "helmwatch:x:4242:\n";
  ASSERT_NE(group_id(), 0u);
  ASSERT_EQ(chown(socket_.c_str(), 0, group_id()), 0);
  ASSERT_EQ(chmod(socket_.c_str(), 0660), 0);
  const int client = HelmwatchConnect(socket_.c_str());
  ASSERT_GE(client, 0);

  const CheckRun healthy = RunCheck(socket_, "");
  EXPECT_EQ(healthy.status, 0);
  EXPECT_EQ(healthy.report.find("FAIL"), std::string::npos);
  for (const std::string& line :
       {"ok    control socket " + socket_ + ": srw-rw---- root:helmwatch",
        "ok    keypad " + keypad_.event_path + " \"bench keypad\": an input-event device sending the guarded key "
        "codes 30 and 38", std::string("ok    can0: up, 250000 bit/s, error-active"),
        std::string("ok    can0 bus-off recovery: the driver restarts the controller 100 ms after a bus-off"),
        std::string("ok    autopilot: address 3, engaged"), std::string("ok    command source: address 35"),
        "ok    alarm buzzer " + alarm_dir_ + ": freq and volume open for writing"}) {
    EXPECT_NE(healthy.report.find(line), std::string::npos) << line;
  }

  // The UI takes the press, as on a boat; the check sees it beside the guard.
  const std::string press_report = dir_ + "/press-report";
  DaemonProcess pressing({"sh", "-c", std::string(HELMWATCH_CTL) + " -u " + socket_ +
                                          " check --press 10 --sound >" + press_report});
  ASSERT_TRUE(pressing.WaitForError("Press the autopilot key")) << pressing.error_text();
  EXPECT_TRUE(PressKey(keypad_, 48, kShortHoldMs));
  Press();
  ASSERT_EQ(HelmwatchConfirm(client), 0);
  const auto pressed = pressing.WaitForExit();
  ASSERT_TRUE(pressed.has_value());
  const std::string report = ReadFile(press_report);
  std::printf("helmwatch-ctl check --press 10 --sound:\n%s", report.c_str());
  EXPECT_EQ(WEXITSTATUS(*pressed), 0);
  EXPECT_NE(report.find("      key 48 (held 0."), std::string::npos);
  EXPECT_NE(report.find("ok    press: key 30, a short press of the autopilot key (held 0."), std::string::npos);
  EXPECT_NE(report.find("ok    sound: "), std::string::npos);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/freq"), kClearedFreq);
  EXPECT_EQ(ReadFile(alarm_dir_ + "/volume"), "100000");

  // No guard on another path: the options given are checked.
  std::string error;
  SimKeypad other;
  const int other_keys[] = {48, 49};
  ASSERT_TRUE(CreateKeypad(&other, "other keypad", other_keys, 2, &error)) << error;
  EXPECT_EQ(autopilot_->FramesReceived(), 0) << "a frame reached the bus";
  autopilot_.reset();
  const std::string other_path = other.event_path;
  // An output that fails its check is not played on, though the number in
  // "7x" names a line.
  const CheckRun failing = RunCheck(dir_ + "/elsewhere", "--sound -t gpio -o 7x " + other_path);
  DestroyKeypad(&other);
  EXPECT_EQ(failing.status, 1);
  for (const std::string& line :
       {"FAIL  keypad " + other_path + " \"other keypad\": sends none of the guarded key codes 30 and 38",
        std::string("FAIL  autopilot: no status heard in 3 s on can0: an unconfirmed press would sound the alarm "
                    "but command nothing"),
        std::string("FAIL  command source: no status naming it heard in 3 s"),
        std::string("FAIL  sound: not played, as the alarm output failed its check")}) {
    EXPECT_NE(failing.report.find(line), std::string::npos) << line;
  }

  // The guard kept its client and saw nothing amiss but the confirmed press.
  EXPECT_EQ(HelmwatchPing(client, 1000), 1);
  HelmwatchClose(client);
  EXPECT_TRUE(std::regex_match(daemon_->ReadError(),
                               std::regex("Press of the autopilot key released at [^\\n]*: confirmed by "
                                          "the UI after [0-9]+ ms\\n")))
      << daemon_->ReadError();
}

}  // namespace
}  // namespace helmwatch_test
