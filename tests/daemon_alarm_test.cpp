// The alarm of the whole daemon: a short press that no UI application
// confirms makes the daemon sound the warning pattern on its configured
// output. This machine has no CAN interface, so the daemon runs without a
// control socket and every press runs the guard on to its warning alarm,
// 3.25 s after the press; no standby is ever reported, so no all-clear.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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

constexpr char kWarningFrequencies[] = "2900029000290002900029000290002900";
constexpr char kVolumeOnThenOff[] = "100000";

class DaemonAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(mkfifo(key_path().c_str(), 0600), 0);
    // Held open for reading too, so that neither side waits for the other.
    key_fd_ = open(key_path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(key_fd_, 0);
  }

  void TearDown() override {
    daemon_.reset();  // ends the daemon and its alarm children
    if (key_fd_ >= 0) close(key_fd_);
    unsetenv("ALSA_CONFIG_PATH");
  }

  std::string key_path() const { return dir_ / "event0"; }

  DaemonProcess& Start(const std::vector<std::string>& alarm_options) {
    std::vector<std::string> args = alarm_options;
    args.insert(args.end(), {"-u", dir_ / "control", key_path()});
    daemon_ = std::make_unique<DaemonProcess>(DaemonCommand(args));
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

  alarm_test::ScratchDirectory dir_;
  int key_fd_ = -1;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(DaemonAlarmTest, UnconfirmedPressSoundsTheWarningOnTheBuzzer) {
  const std::string buzzer = dir_ / "buzzer";
  ASSERT_TRUE(std::filesystem::create_directory(buzzer));
  ASSERT_TRUE(alarm_test::MakeAttributes(buzzer, {"freq", "volume"}));
  DaemonProcess& daemon = Start({"-t", "buzzer", "-o", buzzer});
  ASSERT_TRUE(PressGuardedKey());

  // Nothing sounds while the UI application still has time to confirm.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(ReadFile(buzzer + "/freq"), "");

  // The volume goes off only when the whole pattern has played.
  EXPECT_EQ(WaitForContent(buzzer + "/volume", kVolumeOnThenOff), kVolumeOnThenOff) << daemon.error_text();
  EXPECT_EQ(ReadFile(buzzer + "/freq"), kWarningFrequencies);
  EXPECT_TRUE(daemon.Running()) << daemon.error_text();
}

TEST_F(DaemonAlarmTest, UnconfirmedPressSoundsTheWarningOnTheSpeaker) {
  const std::string played = dir_ / "played.raw";
  const std::string config = alarm_test::WriteFilePcmConfig(dir_.path(), played);
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
  EXPECT_EQ(bytes.size(), expected.size()) << daemon.error_text();
  EXPECT_TRUE(bytes == expected);
  EXPECT_TRUE(daemon.Running()) << daemon.error_text();
}

}  // namespace
}  // namespace helmwatch_test
