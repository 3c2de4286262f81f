// The sysfs drivers and the check of their -o argument at start-up, against
// ordinary directories and FIFOs, and against a tmpfs laid over /sys/class
// in a mount namespace of the test's own, where the fixed GPIO and default
// buzzer paths lead.
#include "alarm/sysfs_alarm.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <vector>

#include "alarm/output_check.h"
#include "alarm/tests/alarm_test_support.h"

namespace {

using alarm_test::ChildResult;
using alarm_test::IsolatedRun;
using alarm_test::MakeAttributes;
using alarm_test::ReadFile;
using alarm_test::RunInChild;
using alarm_test::RunUnderPrivateSysClass;
using Driver = void (*)(const char*, const AlarmStep*, int32_t);

// The values a full warning pattern leaves in a plain file: the 13 step
// values run together, then the closing value.
constexpr char kWarningFrequencies[] = "2900029000290002900029000290002900";
constexpr char kWarningDutyOrPeriod[] = "1000100010001000100010001000";
constexpr char kWarningGpio[] = "10101010101010";
constexpr char kVolumeOnThenOff[] = "100000";

class SysfsAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    options_ = dir_.path().c_str();
  }

  // Plays pattern with the driver on the device options_ names, in a child.
  ChildResult Play(Driver driver, const AlarmStep* pattern, int32_t step_count) const {
    const char* options = options_;
    return RunInChild([=] {
      driver(options, pattern, step_count);
      return 0;
    });
  }

  alarm_test::ScratchDirectory dir_;
  const char* options_ = nullptr;
};

// ---- Buzzer: frequency and volume ----

TEST_F(SysfsAlarmTest, BuzzerWritesEachFrequencyBetweenVolumeOnAndOff) {
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"freq", "volume"}));
  ChildResult played = Play(PlayBuzzerPattern, kClearedPattern, kClearedPatternSteps);
  EXPECT_EQ(played.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(dir_ / "freq"), "2900");
  EXPECT_EQ(ReadFile(dir_ / "volume"), kVolumeOnThenOff);

  // A second pattern empties the files first: nothing of the first remains.
  played = Play(PlayBuzzerPattern, kWarningPattern, kWarningPatternSteps);
  EXPECT_EQ(played.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(dir_ / "freq"), kWarningFrequencies);
  EXPECT_EQ(ReadFile(dir_ / "volume"), kVolumeOnThenOff);
}

TEST_F(SysfsAlarmTest, BuzzerWithoutVolumeFileLeavesFrequencyFileEmptied) {
  ASSERT_TRUE(alarm_test::WriteFile(dir_ / "freq", "440"));
  // A sysfs device without the attribute: no file can be made there.
  ASSERT_EQ(mkdir((dir_ / "volume").c_str(), 0755), 0);

  const ChildResult played = Play(PlayBuzzerPattern, kWarningPattern, kWarningPatternSteps);
  EXPECT_EQ(played.exit_code(), 0);
  EXPECT_EQ(played.error, "Unable to open " + (dir_ / "volume") + "\n");
  EXPECT_EQ(ReadFile(dir_ / "freq"), "");
}

TEST_F(SysfsAlarmTest, BuzzersWriteOnlyToFilesThatExist) {
  // A wrong -o or an absent device: nothing is made in its place.
  struct Case {
    Driver driver;
    const char* directory;  // under the test's directory; absent when it ends in '-'
    std::vector<std::string> present;
    const char* missing;
  };
  const Case cases[] = {
      {PlayBuzzerPattern, "absent-", {}, "freq"},
      {PlayBuzzerPattern, "empty", {}, "freq"},
      {PlayBuzzerPattern, "without-volume", {"freq"}, "volume"},
      {PlayDualBuzzerPattern, "empty", {}, "duty_ns"},
      {PlayDualBuzzerPattern, "without-period", {"duty_ns"}, "period_ns"},
  };
  for (const Case& test_case : cases) {
    const std::string device = dir_ / test_case.directory;
    SCOPED_TRACE(device);
    const bool absent = device.back() == '-';
    if (!absent) {
      std::filesystem::remove_all(device);
      ASSERT_TRUE(std::filesystem::create_directory(device));
      ASSERT_TRUE(MakeAttributes(device, test_case.present));
    }
    options_ = device.c_str();

    const ChildResult played = Play(test_case.driver, kClearedPattern, kClearedPatternSteps);
    EXPECT_EQ(played.exit_code(), 0);
    EXPECT_EQ(played.error, "Unable to open " + device + "/" + test_case.missing + "\n");
    if (absent) {
      EXPECT_FALSE(std::filesystem::exists(device));
    } else {
      const auto entries = std::distance(std::filesystem::directory_iterator(device), {});
      EXPECT_EQ(static_cast<size_t>(entries), test_case.present.size());
    }
  }
}

TEST_F(SysfsAlarmTest, RefusedValuesAreReportedOncePerFileAndThePatternGoesOn) {
  // /dev/full takes the open and refuses every write, as an attribute does a
  // value it cannot take.
  ASSERT_EQ(symlink("/dev/full", (dir_ / "freq").c_str()), 0);
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"volume"}));

  const auto start = std::chrono::steady_clock::now();
  const ChildResult played = Play(PlayBuzzerPattern, kWarningPattern, kWarningPatternSteps);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(played.exit_code(), 0);
  EXPECT_EQ(played.error, "Unable to write " + (dir_ / "freq") + ": " + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(ReadFile(dir_ / "volume"), kVolumeOnThenOff);
  EXPECT_GE(took, std::chrono::milliseconds(3750)) << "every step's delay, refused value or not";
}

// ---- Dual buzzer: duty and period ----

TEST_F(SysfsAlarmTest, DualBuzzerWritesOnOrOffToDutyAndPeriodThenOff) {
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"duty_ns", "period_ns"}));
  ChildResult played = Play(PlayDualBuzzerPattern, kClearedPattern, kClearedPatternSteps);
  EXPECT_EQ(played.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(dir_ / "duty_ns"), "1000");
  EXPECT_EQ(ReadFile(dir_ / "period_ns"), "1000");

  played = Play(PlayDualBuzzerPattern, kWarningPattern, kWarningPatternSteps);
  EXPECT_EQ(played.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(dir_ / "duty_ns"), kWarningDutyOrPeriod);
  EXPECT_EQ(ReadFile(dir_ / "period_ns"), kWarningDutyOrPeriod);
}

TEST_F(SysfsAlarmTest, DualBuzzerUsesOnlyWhetherAStepSounds) {
  ASSERT_TRUE(MakeAttributes(dir_.path(), {"duty_ns", "period_ns"}));
  const AlarmStep steps[] = {{1, 0}, {0, 0}, {4000000000U, 0}};
  const ChildResult played = Play(PlayDualBuzzerPattern, steps, 3);
  EXPECT_EQ(played.exit_code(), 0);
  EXPECT_EQ(ReadFile(dir_ / "duty_ns"), "10001000");
}

TEST_F(SysfsAlarmTest, DualBuzzerWithoutPeriodFileLeavesDutyFileEmptied) {
  ASSERT_TRUE(alarm_test::WriteFile(dir_ / "duty_ns", "500"));
  ASSERT_EQ(mkdir((dir_ / "period_ns").c_str(), 0755), 0);

  const ChildResult played = Play(PlayDualBuzzerPattern, kClearedPattern, kClearedPatternSteps);
  EXPECT_EQ(played.exit_code(), 0);
  EXPECT_EQ(played.error, "Unable to open " + (dir_ / "period_ns") + "\n");
  EXPECT_EQ(ReadFile(dir_ / "duty_ns"), "");
}

// ---- Step timing, seen through FIFOs ----

struct Arrival {
  double at_ms;  // since the first frequency value arrived
  std::string value;
};

// Reads both FIFOs until the driver has closed them, taking the time at
// which each write arrives.
void CollectArrivals(int frequency_fd, int volume_fd, std::vector<Arrival>* frequencies,
                     std::vector<Arrival>* volumes) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
  std::optional<Clock::time_point> first;
  pollfd fifos[2] = {{frequency_fd, POLLIN, 0}, {volume_fd, POLLIN, 0}};
  std::vector<Arrival>* lists[2] = {frequencies, volumes};
  std::vector<std::pair<Clock::time_point, std::string>> raw[2];
  while ((fifos[0].fd >= 0 || fifos[1].fd >= 0) && Clock::now() < give_up) {
    if (poll(fifos, 2, 100) <= 0) continue;
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < 2; ++i) {
      if (fifos[i].fd < 0 || fifos[i].revents == 0) continue;
      char buffer[64];
      const ssize_t got = read(fifos[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        raw[i].emplace_back(now, std::string(buffer, static_cast<size_t>(got)));
        if (i == 0 && !first) first = now;
      } else if (got == 0 && (fifos[i].revents & POLLHUP) != 0) {
        fifos[i].fd = -1;  // the driver has closed it
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    for (const auto& [when, value] : raw[i]) {
      lists[i]->push_back({std::chrono::duration<double, std::milli>(when - first.value_or(when)).count(), value});
    }
  }
}

TEST_F(SysfsAlarmTest, EachValueIsWrittenAtTheStartOfItsStep) {
  ASSERT_EQ(mkfifo((dir_ / "freq").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir_ / "volume").c_str(), 0600), 0);
  // Readers first, without waiting, so that the driver's opens go through.
  const int frequency_fd = open((dir_ / "freq").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int volume_fd = open((dir_ / "volume").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // A failed assertion ends the test's process, descriptors and all.
  // cppcheck-suppress resourceLeak
  ASSERT_GE(frequency_fd, 0);
  // cppcheck-suppress resourceLeak
  ASSERT_GE(volume_fd, 0);

  const pid_t child = fork();
  // cppcheck-suppress resourceLeak
  ASSERT_GE(child, 0);
  if (child == 0) {
    PlayBuzzerPattern(options_, kWarningPattern, kWarningPatternSteps);
    _exit(0);
  }
  std::vector<Arrival> frequencies;
  std::vector<Arrival> volumes;
  CollectArrivals(frequency_fd, volume_fd, &frequencies, &volumes);
  close(frequency_fd);
  close(volume_fd);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);

  // Every step starts with its value, 250 ms after the one before; the last
  // beep lasts 750 ms before the volume goes off. The machine is shared and
  // may run this under emulation: a value may come late, but never early,
  // by more than the reader's own delay.
  constexpr double kEarlyMs = 60;
  constexpr double kLateMs = 400;
  std::vector<std::pair<std::string, double>> expected_frequencies;
  double start_ms = 0;
  for (const AlarmStep& step : kWarningPattern) {
    expected_frequencies.emplace_back(std::to_string(step.frequency_hz), start_ms);
    start_ms += step.duration_ms;
  }
  ASSERT_EQ(frequencies.size(), expected_frequencies.size()) << "values ran together or went missing";
  double latest = -kEarlyMs;
  double earliest = kLateMs;
  for (size_t i = 0; i < frequencies.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i + 1));
    EXPECT_EQ(frequencies[i].value, expected_frequencies[i].first);
    const double offset = frequencies[i].at_ms - expected_frequencies[i].second;
    EXPECT_GT(offset, -kEarlyMs);
    EXPECT_LT(offset, kLateMs);
    latest = std::max(latest, offset);
    earliest = std::min(earliest, offset);
  }
  ASSERT_EQ(volumes.size(), 2U);
  EXPECT_EQ(volumes[0].value, "10000");
  EXPECT_GT(volumes[0].at_ms, -kEarlyMs);
  EXPECT_LT(volumes[0].at_ms, kLateMs);
  EXPECT_EQ(volumes[1].value, "0");
  EXPECT_GT(volumes[1].at_ms, start_ms - kEarlyMs);
  EXPECT_LT(volumes[1].at_ms, start_ms + kLateMs);
  std::cout << "step timing: values from " << earliest << " to " << latest
            << " ms off their step's start; volume off after " << volumes[1].at_ms << " ms of "
            << start_ms << "\n";
}

// ---- GPIO, and the default buzzer, under a private /sys/class ----

using Files = std::map<std::string, std::string>;

TEST_F(SysfsAlarmTest, GpioLineGoesHighForToneStepsAndEndsLow) {
  IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio17/value"}, [] {
    PlayGpioPattern(17, kClearedPattern, kClearedPatternSteps);
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/gpio/gpio17/value", "10"}}));

  run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio17/value"}, [] {
    PlayGpioPattern(17, kWarningPattern, kWarningPatternSteps);
  });
  ASSERT_EQ(run.child.exit_code(), 0);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/gpio/gpio17/value", kWarningGpio}}));
}

TEST_F(SysfsAlarmTest, BuzzersWithoutOptionDriveTheUnitsBuzzerDevice) {
  const IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/buzzer/pwm-buzzer.0/freq",
                                                   "/sys/class/buzzer/pwm-buzzer.0/volume",
                                                   "/sys/class/buzzer/pwm-buzzer.0/duty_ns",
                                                   "/sys/class/buzzer/pwm-buzzer.0/period_ns"},
                                                  [] {
    PlayBuzzerPattern(nullptr, kClearedPattern, kClearedPatternSteps);
    PlayDualBuzzerPattern(nullptr, kClearedPattern, kClearedPatternSteps);
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/buzzer/pwm-buzzer.0/freq", "2900"},
                              {"/sys/class/buzzer/pwm-buzzer.0/volume", kVolumeOnThenOff},
                              {"/sys/class/buzzer/pwm-buzzer.0/duty_ns", "1000"},
                              {"/sys/class/buzzer/pwm-buzzer.0/period_ns", "1000"}}));
}

// ---- The check at start-up ----

ChildResult Check(AlarmType type, const char* options) {
  return RunInChild([=] { return CheckAlarmOutput(ReadAlarmOutput(type, options)); });
}

TEST(CheckAlarmOutput, RefusesWhatCanNeverWorkAndWarnsOfWhatIsMissing) {
  alarm_test::ScratchDirectory dir;
  ASSERT_TRUE(MakeAttributes(dir.path(), {"freq", "volume"}));
  const std::string partial = dir / "partial";
  ASSERT_TRUE(std::filesystem::create_directory(partial));
  ASSERT_TRUE(MakeAttributes(partial, {"freq"}));
  const std::string absent = dir / "absent";
  // The longest directories whose file names still fit in 511 characters.
  const std::string longest_buzzer = "/" + std::string(503, 'b');
  const std::string longest_dual = "/" + std::string(500, 'd');
  const std::string longer_buzzer = longest_buzzer + "b";
  const std::string longer_dual = longest_dual + "d";

  const auto refused_number = [](const std::string& shown) {
    return "GPIO number given with -o must be a whole number from 0 to 99999: " + shown + "\n";
  };
  const auto missing = [](const std::string& path) {
    return "Alarm output " + path + " does not exist; alarms will not sound until it does\n";
  };
  struct Case {
    AlarmType type;
    const char* options;
    int status;
    std::string error;
  };
  const Case cases[] = {
      {AlarmGpio, "", 1, refused_number("")},
      {AlarmGpio, "abc", 1, refused_number("abc")},
      {AlarmGpio, "7x", 1, refused_number("7x")},
      {AlarmGpio, " 7", 1, refused_number(" 7")},
      {AlarmGpio, "+7", 1, refused_number("+7")},
      {AlarmGpio, "-3", 1, refused_number("-3")},
      {AlarmGpio, "100000", 1, refused_number("100000")},
      {AlarmGpio, "99999999999999999999", 1, refused_number("99999999999999999999")},
      {AlarmGpio, nullptr, 1, refused_number("(none)")},
      {AlarmGpio, "99999", 0, missing("/sys/class/gpio/gpio99999/value")},
      {AlarmGpio, "0", 0, missing("/sys/class/gpio/gpio0/value")},
      {AlarmGpio, "007", 0, missing("/sys/class/gpio/gpio7/value")},
      {AlarmBuzzer, dir.path().c_str(), 0, ""},
      {AlarmBuzzer, partial.c_str(), 0, missing(partial + "/volume")},
      {AlarmBuzzer, absent.c_str(), 0, missing(absent)},
      {AlarmDualBuzzer, dir.path().c_str(), 0, missing(dir / "duty_ns")},
      {AlarmBuzzer, longest_buzzer.c_str(), 0, missing(longest_buzzer)},
      {AlarmBuzzer, longer_buzzer.c_str(), 1, "Buzzer directory given with -o is too long: at most 504 characters\n"},
      {AlarmDualBuzzer, longest_dual.c_str(), 0, missing(longest_dual)},
      {AlarmDualBuzzer, longer_dual.c_str(), 1, "Buzzer directory given with -o is too long: at most 501 characters\n"},
      {AlarmSpeaker, "7x", 0, ""},
      {AlarmNone, nullptr, 0, ""},
  };
  for (const Case& test_case : cases) {
    SCOPED_TRACE(std::to_string(test_case.type) + " " + (test_case.options ? test_case.options : "(none)"));
    const ChildResult checked = Check(test_case.type, test_case.options);
    EXPECT_EQ(checked.exit_code(), test_case.status);
    EXPECT_EQ(checked.error, test_case.error);
    EXPECT_EQ(checked.output, "");
  }

  const ChildResult default_buzzer = Check(AlarmBuzzer, nullptr);
  if (!std::filesystem::exists(kDefaultBuzzerDirectory)) {
    EXPECT_EQ(default_buzzer.error, missing(kDefaultBuzzerDirectory));
  }
}

TEST(CheckAlarmOutput, ExportedGpioLinePassesSilently) {
  const IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio17/value"}, [] {
    // Any refusal or warning would be a line on standard error.
    CheckAlarmOutput(ReadAlarmOutput(AlarmGpio, "17"));
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "");
}

}  // namespace
