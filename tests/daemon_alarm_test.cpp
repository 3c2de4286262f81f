// The alarm of the whole daemon: a short press that no UI application
// confirms makes the daemon sound the warning pattern on its configured
// output. This machine has no CAN interface, so the daemon runs without a
// control socket and every press runs the guard on to its warning alarm,
// 3.25 s after the press; no standby is ever reported, so no all-clear.
// Each episode ends as a service manager ends the daemon, and the daemon and
// its alarm child must have said nothing beyond the start-up report: run
// under a checker (HELMWATCH_DAEMON_WRAPPER), any report of theirs fails it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <csignal>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alarm/alarm.h"
#include "alarm/tests/alarm_test_support.h"
#include "alarm/tests/alsa_test_config.h"
#include "guard/tests/test_io.h"
#include "tests/daemon_process.h"

namespace helmwatch_test {
namespace {

using alarm_test::ReadFile;
using Clock = std::chrono::steady_clock;

// The warning pattern as each sysfs output's files hold it once it has
// played: every value written in turn, the output switched off at the end.
constexpr char kWarningFrequencies[] = "2900029000290002900029000290002900";
constexpr char kVolumeOnThenOff[] = "100000";
constexpr char kDualBuzzerLevels[] = "1000100010001000100010001000";
constexpr char kGpioLevels[] = "10101010101010";

// The GPIO line the daemon drives, in a /sys/class of its own.
constexpr char kGpioNumber[] = "5";
constexpr char kGpioDirectory[] = "/sys/class/gpio/gpio5";

class DaemonAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_FALSE(socket_dir_.empty());
    ASSERT_EQ(mkfifo(key_path().c_str(), 0600), 0);
    // Held open for reading too, so that neither side waits for the other.
    key_fd_ = open(key_path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(key_fd_, 0);
  }

  void TearDown() override {
    daemon_.reset();  // ends the daemon and its alarm children
    if (!socket_dir_.empty()) std::filesystem::remove_all(socket_dir_);
    if (key_fd_ >= 0) close(key_fd_);
    unsetenv("ALSA_CONFIG_PATH");
  }

  std::string key_path() const { return dir_ / "event0"; }

  // The daemon with alarm_options, behind the words of prefix (none: the
  // daemon itself).
  DaemonProcess& Start(const std::vector<std::string>& alarm_options, std::vector<std::string> prefix = {}) {
    std::vector<std::string> args = alarm_options;
    args.insert(args.end(), {"-u", socket_path(), key_path()});
    const std::vector<std::string> daemon = DaemonCommand(args);
    prefix.insert(prefix.end(), daemon.begin(), daemon.end());
    daemon_ = std::make_unique<DaemonProcess>(prefix);
    return *daemon_;
  }

  // The guarded key down and up again at once: a short press.
  bool PressGuardedKey() {
    return WriteInputEvent(key_fd_, EV_KEY, KEY_A, 1) && WriteInputEvent(key_fd_, EV_SYN, SYN_REPORT, 0) &&
           WriteInputEvent(key_fd_, EV_KEY, KEY_A, 0) && WriteInputEvent(key_fd_, EV_SYN, SYN_REPORT, 0);
  }

  // Waits until the file holds what is wanted, or the limit is over; the
  // file's content then.
  std::string WaitForContent(const std::string& path, const std::string& wanted) {
    const Clock::time_point give_up = Clock::now() + kGenerousLimit;
    std::optional<std::string> content;
    while ((content = ReadFile(path)) != wanted && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return content.value_or("(no file)");
  }

  // Ends the daemon with SIGTERM, as a service manager does, and expects it
  // to die of it, and everything on its standard error, its alarm child's
  // included, to be the start-up report, the line that says the episode's
  // commands cannot go (there is no CAN here) and, once the episode has run
  // out, its record.
  void ExpectQuietEndOnSigterm(DaemonProcess& daemon, bool episode_over) {
    ASSERT_TRUE(daemon.Running()) << Ending(daemon.WaitForExit()) << "\n" << daemon.ReadErrorToEnd();
    ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
    EXPECT_EQ(Ending(daemon.WaitForExit()), "signal " + std::to_string(SIGTERM));
    const std::string cause = "there is no CAN socket (CAN failed to initialize)";
    std::string expected = std::string(kCanReport) + "Standby command not sent: " + cause + "\n";
    if (episode_over) {
      expected += "Press of the autopilot key released at <time>: not confirmed; no standby command "
                  "reached the bus; 8 commands not sent: " + cause + "; given up after 8 commands "
                  "with no standby report; warning alarm started; the bus around it in flight 000001\n";
    }
    // The release's time, "YYYY-MM-DD HH:MM:SS.mmm", varies.
    std::string said = WithoutPrivilegeReport(daemon.ReadErrorToEnd());
    const std::string at = "released at ";
    const size_t time = said.find(at);
    if (time != std::string::npos) said.replace(time + at.size(), 23, "<time>");
    EXPECT_EQ(said, expected);
  }

  std::string socket_path() const { return socket_dir_ + "/control"; }

  // The socket where its status file is written (a memory file system).
  std::string socket_dir_ = MakeMemoryFolder("helmwatch-alarm-socket");
  alarm_test::ScratchDirectory dir_;
  int key_fd_ = -1;
  std::unique_ptr<DaemonProcess> daemon_;
};

struct SysfsCase {
  const char* type;
  bool gpio;  // the fixed GPIO path rather than a buzzer directory
  std::vector<std::pair<std::string, std::string>> played;  // file, content after the pattern
};

void PrintTo(const SysfsCase& output, std::ostream* out) { *out << output.type; }

class DaemonSysfsAlarmTest : public DaemonAlarmTest, public ::testing::WithParamInterface<SysfsCase> {};

TEST_P(DaemonSysfsAlarmTest, UnconfirmedPressSoundsTheWarning) {
  const SysfsCase& output = GetParam();
  std::string directory = dir_ / "buzzer";
  std::vector<std::string> options = {"-t", output.type, "-o", directory};
  std::vector<std::string> prefix;
  if (output.gpio) {
    const alarm_test::IsolatedRun probe = alarm_test::RunUnderPrivateSysClass({}, [] {});
    SKIP_WITHOUT_ISOLATION(probe);
    // The daemon gets a /sys/class of its own, seen from here through its
    // root in /proc.
    options.back() = kGpioNumber;
    prefix = {"unshare", "--mount", "--propagation", "private", "sh", "-c",
              std::string("mount -t tmpfs -o mode=0755 tmpfs /sys/class && mkdir -p ") + kGpioDirectory +
                  " && : >" + kGpioDirectory + "/value && exec \"$@\"",
              "sh"};
  } else {
    std::vector<std::string> names;
    for (const auto& file : output.played) names.push_back(file.first);
    ASSERT_TRUE(std::filesystem::create_directory(directory));
    ASSERT_TRUE(alarm_test::MakeAttributes(directory, names));
  }
  DaemonProcess& daemon = Start(options, prefix);
  if (output.gpio) directory = "/proc/" + std::to_string(daemon.pid()) + "/root" + kGpioDirectory;
  ASSERT_TRUE(PressGuardedKey());

  // Nothing sounds while the UI application still has time to confirm.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (const auto& [name, content] : output.played) EXPECT_EQ(ReadFile(directory + "/" + name), "") << name;

  // The last value goes out only when the whole pattern has played.
  for (const auto& [name, content] : output.played) {
    EXPECT_EQ(WaitForContent(directory + "/" + name, content), content) << name << "\n" << daemon.ReadError();
  }
  EXPECT_TRUE(daemon.Running()) << daemon.ReadError();
  ExpectQuietEndOnSigterm(daemon, true);
}

INSTANTIATE_TEST_SUITE_P(
    EachOutput, DaemonSysfsAlarmTest,
    ::testing::Values(
        SysfsCase{"buzzer", false, {{"freq", kWarningFrequencies}, {"volume", kVolumeOnThenOff}}},
        SysfsCase{"dualbuzzer", false, {{"duty_ns", kDualBuzzerLevels}, {"period_ns", kDualBuzzerLevels}}},
        SysfsCase{"gpio", true, {{"value", kGpioLevels}}}),
    [](const ::testing::TestParamInfo<SysfsCase>& param_info) { return std::string(param_info.param.type); });

TEST_F(DaemonAlarmTest, UnconfirmedPressSoundsTheWarningOnTheSpeaker) {
  const std::string played = dir_ / "played.raw";
  const std::string mixer = dir_ / "mixer.log";
  const std::string config = alarm_test::WriteFilePcmConfig(
      dir_.path(), played,
      alarm_test::TestMixerConfig(HELMWATCH_TEST_MIXER_PLUGIN, "DAC Playback Volume", 0, 255, mixer));
  ASSERT_NE(config, "");
  // The daemon and its alarm child take ALSA's configuration from the
  // environment they inherit.
  ASSERT_EQ(setenv("ALSA_CONFIG_PATH", config.c_str(), 1), 0);
  DaemonProcess& daemon = Start({"-t", "speaker"});
  ASSERT_TRUE(PressGuardedKey());

  const std::vector<AlarmStep> warning(kWarningPattern, kWarningPattern + kWarningPatternSteps);
  const std::string expected = alarm_test::ExpectedPlayedFrames(warning, 2205);
  ASSERT_EQ(expected.size(), 165375U * 4U);
  const std::string bytes = WaitForContent(played, expected);
  EXPECT_EQ(bytes.size(), expected.size()) << daemon.ReadError();
  EXPECT_TRUE(bytes == expected);
  // Turned up to full for the alarm, whatever it was left at.
  const std::string volumes = ReadFile(mixer).value_or("(never written)");
  EXPECT_TRUE(volumes.ends_with("255 255\n")) << volumes;
  EXPECT_TRUE(daemon.Running()) << daemon.ReadError();
  ExpectQuietEndOnSigterm(daemon, false);
}

}  // namespace
}  // namespace helmwatch_test
