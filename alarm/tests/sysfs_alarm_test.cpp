// The sysfs drivers against ordinary directories and FIFOs, and against a
// tmpfs laid over /sys/class in a mount namespace of the test's own, where
// the fixed GPIO and default buzzer paths lead.
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

#include "alarm/tests/alarm_test_support.h"

namespace {

using alarm_test::ChildResult;
using alarm_test::ReadFile;
using alarm_test::RunInChild;
using Driver = void (*)(const AlarmStep*, int32_t);

// The values a full warning pattern leaves in a plain file: the 13 step
// values run together, then the closing value.
constexpr char kWarningFrequencies[] = "2900029000290002900029000290002900";
constexpr char kWarningDutyOrPeriod[] = "1000100010001000100010001000";
constexpr char kWarningGpio[] = "10101010101010";
constexpr char kVolumeOnThenOff[] = "100000";

ChildResult Play(Driver driver, const AlarmStep* pattern, int32_t step_count) {
  return RunInChild([=] {
    driver(pattern, step_count);
    return 0;
  });
}

class SysfsAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    guard_config.alarm_options = dir_.path().c_str();
  }

  alarm_test::SavedGuardConfig saved_config_;
  alarm_test::ScratchDirectory dir_;
};

// ---- Buzzer: frequency and volume ----

TEST_F(SysfsAlarmTest, BuzzerWritesEachFrequencyBetweenVolumeOnAndOff) {
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

TEST_F(SysfsAlarmTest, BuzzerWithoutDeviceOpensNothing) {
  const std::string missing = dir_ / "missing";
  guard_config.alarm_options = missing.c_str();

  const ChildResult played = Play(PlayBuzzerPattern, kClearedPattern, kClearedPatternSteps);
  EXPECT_EQ(played.exit_code(), 0);
  EXPECT_EQ(played.error, "Unable to open " + missing + "/freq\n");
}

TEST_F(SysfsAlarmTest, LongBuzzerPathsAreCutAt511Characters) {
  // A device directory of 507 characters: "/freq" and "/volume" fit only in
  // part, and the cut names are the files written.
  std::string device = dir_.path();
  while (device.size() < 507) {
    device += "/" + std::string(std::min<size_t>(200, 507 - device.size() - 1), 'd');
  }
  ASSERT_EQ(device.size(), 507U);
  ASSERT_TRUE(std::filesystem::create_directories(device));
  guard_config.alarm_options = device.c_str();

  const ChildResult played = Play(PlayBuzzerPattern, kClearedPattern, kClearedPatternSteps);
  EXPECT_EQ(played.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(device + "/fre"), "2900");
  EXPECT_EQ(ReadFile(device + "/vol"), kVolumeOnThenOff);
  EXPECT_FALSE(std::filesystem::exists(device + "/freq"));
}

// ---- Dual buzzer: duty and period ----

TEST_F(SysfsAlarmTest, DualBuzzerWritesOnOrOffToDutyAndPeriodThenOff) {
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
  ASSERT_GE(frequency_fd, 0);
  ASSERT_GE(volume_fd, 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PlayBuzzerPattern(kWarningPattern, kWarningPatternSteps);
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

constexpr int kCannotIsolate = 77;

// Runs body in a child that sees an empty tmpfs at /sys/class, with the
// directories named made in it; hands back the regular files found there
// afterwards, path by path, beside the child's result.
struct IsolatedRun {
  ChildResult child;
  std::map<std::string, std::string> files;
};

template <typename Body>
IsolatedRun RunUnderPrivateSysClass(const std::vector<std::string>& directories, Body body) {
  IsolatedRun run;
  run.child = RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755") != 0) {
      std::fprintf(stderr, "no private mount of /sys/class: %s", std::strerror(errno));
      return kCannotIsolate;
    }
    for (const std::string& directory : directories) std::filesystem::create_directories(directory);
    body();
    // Stands for stdout: the parent cannot see this tmpfs.
    for (const auto& entry : std::filesystem::recursive_directory_iterator("/sys/class")) {
      if (entry.is_regular_file()) std::printf("%s=%s\n", entry.path().c_str(), ReadFile(entry.path()).value_or("").c_str());
    }
    return 0;
  });
  std::istringstream lines(run.child.output);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    run.files[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return run;
}

#define SKIP_WITHOUT_ISOLATION(run)                                                  \
  if ((run).child.exit_code() == kCannotIsolate) GTEST_SKIP() << (run).child.error; \
  ASSERT_EQ((run).child.exit_code(), 0) << (run).child.Describe()

using Files = std::map<std::string, std::string>;

TEST_F(SysfsAlarmTest, GpioLineGoesHighForToneStepsAndEndsLow) {
  guard_config.alarm_options = "17";
  IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio17"}, [] {
    PlayGpioPattern(kClearedPattern, kClearedPatternSteps);
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/gpio/gpio17/value", "10"}}));

  run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio17"}, [] {
    PlayGpioPattern(kWarningPattern, kWarningPatternSteps);
  });
  ASSERT_EQ(run.child.exit_code(), 0);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/gpio/gpio17/value", kWarningGpio}}));
}

TEST_F(SysfsAlarmTest, GpioNumberIsReadAsAtoiReadsIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "/sys/class/gpio/gpio0/value"},   // no number at all
      {"", "/sys/class/gpio/gpio0/value"},
      {" +7x", "/sys/class/gpio/gpio7/value"},  // blanks, a sign, digits up to the first other
      {"-3", "/sys/class/gpio/gpio-3/value"},
  };
  for (const auto& [option, path] : cases) {
    SCOPED_TRACE(std::string("-o \"") + option + "\"");
    guard_config.alarm_options = option;
    const std::string directory = std::filesystem::path(path).parent_path();
    const IsolatedRun run = RunUnderPrivateSysClass({directory}, [] {
      PlayGpioPattern(kClearedPattern, kClearedPatternSteps);
    });
    SKIP_WITHOUT_ISOLATION(run);
    EXPECT_EQ(run.files, (Files{{path, "10"}}));
  }
}

TEST_F(SysfsAlarmTest, LongGpioNumberCutsThePathAt31Characters) {
  // Five digits still fit; with six the file's name loses its last letter,
  // with seven two.
  const std::pair<const char*, const char*> cases[] = {
      {"12345", "/sys/class/gpio/gpio12345/value"},
      {"123456", "/sys/class/gpio/gpio123456/valu"},
      {"1234567", "/sys/class/gpio/gpio1234567/val"},
      {"99999999999999", "/sys/class/gpio/gpio2147483647/"},  // beyond int: held at its limit
  };
  for (const auto& [option, path] : cases) {
    SCOPED_TRACE(option);
    guard_config.alarm_options = option;
    const std::string directory = std::filesystem::path(path).parent_path();
    IsolatedRun run = RunUnderPrivateSysClass({directory}, [] {
      PlayGpioPattern(kClearedPattern, kClearedPatternSteps);
    });
    SKIP_WITHOUT_ISOLATION(run);
    if (std::string(path).back() == '/') {
      // The cut path names the directory itself, which cannot be opened "w".
      EXPECT_EQ(run.child.error, std::string("Unable to open ") + path + "\n");
      EXPECT_EQ(run.files, Files{});
    } else {
      EXPECT_EQ(run.child.error, "");
      EXPECT_EQ(run.files, (Files{{path, "10"}}));
    }

    // Where the line is not exported, the message names the cut path.
    run = RunUnderPrivateSysClass({"/sys/class/gpio"}, [] {
      PlayGpioPattern(kClearedPattern, kClearedPatternSteps);
    });
    ASSERT_EQ(run.child.exit_code(), 0);
    EXPECT_EQ(run.child.error, std::string("Unable to open ") + path + "\n");
    EXPECT_EQ(run.files, Files{});
  }
}

TEST_F(SysfsAlarmTest, GpioWithoutNumberPlaysNothing) {
  guard_config.alarm_options = nullptr;
  const IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/gpio/gpio0"}, [] {
    PlayGpioPattern(kWarningPattern, kWarningPatternSteps);
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "No GPIO number specified\n");
  EXPECT_EQ(run.files, Files{});
}

TEST_F(SysfsAlarmTest, BuzzersWithoutOptionDriveTheUnitsBuzzerDevice) {
  guard_config.alarm_options = nullptr;
  const IsolatedRun run = RunUnderPrivateSysClass({"/sys/class/buzzer/pwm-buzzer.0"}, [] {
    PlayBuzzerPattern(kClearedPattern, kClearedPatternSteps);
    PlayDualBuzzerPattern(kClearedPattern, kClearedPatternSteps);
  });
  SKIP_WITHOUT_ISOLATION(run);
  EXPECT_EQ(run.child.error, "");
  EXPECT_EQ(run.files, (Files{{"/sys/class/buzzer/pwm-buzzer.0/freq", "2900"},
                              {"/sys/class/buzzer/pwm-buzzer.0/volume", kVolumeOnThenOff},
                              {"/sys/class/buzzer/pwm-buzzer.0/duty_ns", "1000"},
                              {"/sys/class/buzzer/pwm-buzzer.0/period_ns", "1000"}}));
}

}  // namespace
