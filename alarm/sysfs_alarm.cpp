#include "alarm/sysfs_alarm.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "guard/guard.h"

namespace {

// The unit's buzzer device, used when -o names no other.
constexpr const char kDefaultBuzzerDirectory[] = "/sys/class/buzzer/pwm-buzzer.0";

constexpr size_t kBuzzerPathSize = 512;  // a longer buzzer path is cut to 511 characters
constexpr size_t kGpioPathSize = 32;     // "/sys/class/gpio/gpio" and "/value" leave 5 for the number

constexpr uint32_t kMicrosecondsPerMillisecond = 1000;
constexpr long kNanosecondsPerMicrosecond = 1000;
constexpr uint32_t kMicrosecondsPerSecond = 1000000;

// One sleep per step, not resumed when a signal cuts it short. The product is
// unsigned 32-bit, so a step is bounded at 4294967 ms.
void SleepStep(const AlarmStep& step) {
  const uint32_t microseconds = step.duration_ms * kMicrosecondsPerMillisecond;
  timespec delay;
  delay.tv_sec = static_cast<time_t>(microseconds / kMicrosecondsPerSecond);
  delay.tv_nsec = static_cast<long>(microseconds % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
  nanosleep(&delay, nullptr);
}

void FormatBuzzerPath(char (&path)[kBuzzerPathSize], const char* name) {
  const char* directory =
      guard_config.alarm_options != nullptr ? guard_config.alarm_options : kDefaultBuzzerDirectory;
  std::snprintf(path, sizeof path, "%s/%s", directory, name);
}

// A sysfs attribute takes each write as a whole new value, so values go out
// one flush each, never rewound and with no newline: the stream must be a
// buffered one opened "w".
FILE* OpenAttribute(const char* path) {
  FILE* file = std::fopen(path, "w");
  if (file == nullptr) std::fprintf(stderr, "Unable to open %s\n", path);
  return file;
}

// The line number as atoi reads it (blanks, a sign, digits up to the first
// other character; no digits read as 0), but with a number beyond int held
// at int's limit instead of atoi's undefined result.
int ReadGpioNumber(const char* text) {
  const long number = std::strtol(text, nullptr, 10);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

}  // namespace

void PlayBuzzerPattern(const AlarmStep* pattern, int32_t step_count) {
  char frequency_path[kBuzzerPathSize];
  char volume_path[kBuzzerPathSize];
  FormatBuzzerPath(frequency_path, "freq");
  FormatBuzzerPath(volume_path, "volume");

  FILE* frequency = OpenAttribute(frequency_path);
  if (frequency == nullptr) return;
  FILE* volume = OpenAttribute(volume_path);
  if (volume == nullptr) {
    std::fclose(frequency);
    return;
  }

  // Held back until the first frequency is out, so the buzzer never sounds
  // at whatever frequency it was left with.
  std::fputs("10000", volume);
  for (int32_t i = 0; i < step_count; ++i) {
    std::fprintf(frequency, "%u", pattern[i].frequency_hz);
    std::fflush(frequency);
    std::fflush(volume);
    SleepStep(pattern[i]);
  }
  std::fputs("0", volume);
  std::fclose(frequency);
  std::fclose(volume);
}

void PlayDualBuzzerPattern(const AlarmStep* pattern, int32_t step_count) {
  char duty_path[kBuzzerPathSize];
  char period_path[kBuzzerPathSize];
  FormatBuzzerPath(duty_path, "duty_ns");
  FormatBuzzerPath(period_path, "period_ns");

  FILE* duty = OpenAttribute(duty_path);
  if (duty == nullptr) return;
  FILE* period = OpenAttribute(period_path);
  if (period == nullptr) {
    std::fclose(duty);
    return;
  }

  for (int32_t i = 0; i < step_count; ++i) {
    const char* level = pattern[i].frequency_hz != 0 ? "100" : "0";
    std::fputs(level, duty);
    std::fputs(level, period);
    std::fflush(duty);
    std::fflush(period);
    SleepStep(pattern[i]);
  }
  // The closes send these, duty first.
  std::fputs("0", duty);
  std::fputs("0", period);
  std::fclose(duty);
  std::fclose(period);
}

void PlayGpioPattern(const AlarmStep* pattern, int32_t step_count) {
  if (guard_config.alarm_options == nullptr) {
    std::fputs("No GPIO number specified\n", stderr);
    return;
  }
  // The line must already be exported as an output: only its value is set.
  char path[kGpioPathSize];
  std::snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", ReadGpioNumber(guard_config.alarm_options));

  FILE* value = OpenAttribute(path);
  if (value == nullptr) return;
  for (int32_t i = 0; i < step_count; ++i) {
    std::fputs(pattern[i].frequency_hz != 0 ? "1" : "0", value);
    std::fflush(value);
    SleepStep(pattern[i]);
  }
  std::fputs("0", value);  // sent by the close: the line is left low
  std::fclose(value);
}
