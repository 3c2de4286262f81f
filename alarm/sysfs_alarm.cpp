#include "alarm/sysfs_alarm.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "alarm/alarm_child.h"
#include "common/monotonic_time.h"

namespace {

constexpr char kGpioPathPrefix[] = "/sys/class/gpio/gpio";
constexpr char kGpioPathSuffix[] = "/value";
static_assert(sizeof kGpioPathPrefix - 1 + 5 + sizeof kGpioPathSuffix == kGpioPathSize,
              "kLargestGpioNumber has as many digits as the path has room for");

constexpr char kBuzzerVolumeOn[] = "10000";
constexpr char kDualBuzzerOn[] = "100";

constexpr uint32_t kMicrosecondsPerMillisecond = 1000;

// One sleep per step, not resumed when a signal cuts it short: only a stop
// does. The product is unsigned 32-bit, so a step is bounded at 4294967 ms.
void SleepStep(const AlarmStep& step) {
  const uint32_t microseconds = step.duration_ms * kMicrosecondsPerMillisecond;
  const timespec delay = MicrosecondsToTimespec(microseconds);
  nanosleep(&delay, nullptr);
}

// An open attribute file. A sysfs attribute takes each write as a whole new
// value, so values go out one flush each, never rewound and with no
// newline: the stream is a buffered one opened "w".
struct Attribute {
  FILE* stream;
  const char* path;
  bool failed;  // a write has failed and been reported: one line per file
};

// Opens without creating: a sysfs attribute exists or the device is absent,
// and a plain file made in its place would only hide a wrong -o.
bool OpenAttribute(Attribute* attribute, const char* path) {
  attribute->path = path;
  attribute->failed = false;
  attribute->stream = nullptr;
  const int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) {
    attribute->stream = fdopen(fd, "w");
    if (attribute->stream == nullptr) close(fd);
  }
  if (attribute->stream == nullptr) std::fprintf(stderr, "Unable to open %s\n", path);
  return attribute->stream != nullptr;
}

void ReportFailure(Attribute* attribute) {
  const int error = errno;
  if (attribute->failed) return;
  attribute->failed = true;
  std::fprintf(stderr, "Unable to write %s: %s\n", attribute->path, std::strerror(error));
}

// Goes out with the next flush or the close. A failed write drops the value
// from the stream's buffer, so it never runs into the next one.
void Put(Attribute* attribute, const char* value) {
  if (std::fputs(value, attribute->stream) < 0) ReportFailure(attribute);
}

void Flush(Attribute* attribute) {
  if (std::fflush(attribute->stream) != 0) ReportFailure(attribute);
}

void Close(Attribute* attribute) {
  if (std::fclose(attribute->stream) != 0) ReportFailure(attribute);
}

}  // namespace

int ReadGpioNumber(const char* text, bool* whole) {
  *whole = false;
  if (text == nullptr) return 0;
  const long number = std::strtol(text, nullptr, 10);
  *whole = *text != '\0' && std::strspn(text, "0123456789") == std::strlen(text) && number <= kLargestGpioNumber;
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

bool FormatBuzzerPath(char (&path)[kBuzzerPathSize], const char* directory, const char* name) {
  if (directory == nullptr) directory = kDefaultBuzzerDirectory;
  const int length = std::snprintf(path, sizeof path, "%s/%s", directory, name);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

bool FormatGpioPath(char (&path)[kGpioPathSize], int number) {
  const int length = std::snprintf(path, sizeof path, "%s%d%s", kGpioPathPrefix, number, kGpioPathSuffix);
  return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

void PlayBuzzerPattern(const char* directory, const AlarmStep* pattern, int32_t step_count) {
  char frequency_path[kBuzzerPathSize];
  char volume_path[kBuzzerPathSize];
  FormatBuzzerPath(frequency_path, directory, kBuzzerFiles[0]);
  FormatBuzzerPath(volume_path, directory, kBuzzerFiles[1]);

  Attribute frequency;
  if (!OpenAttribute(&frequency, frequency_path)) return;
  Attribute volume;
  if (!OpenAttribute(&volume, volume_path)) {
    Close(&frequency);
    return;
  }

  for (int32_t i = 0; i < step_count && !AlarmStopRequested(); ++i) {
    char value[16];
    std::snprintf(value, sizeof value, "%u", pattern[i].frequency_hz);
    Put(&frequency, value);
    Flush(&frequency);
    // Only after the first frequency is out, so the buzzer never sounds at
    // whatever frequency it was left with.
    if (i == 0) {
      Put(&volume, kBuzzerVolumeOn);
      Flush(&volume);
    }
    SleepStep(pattern[i]);
  }
  Put(&volume, "0");
  Close(&frequency);
  Close(&volume);
}

void PlayDualBuzzerPattern(const char* directory, const AlarmStep* pattern, int32_t step_count) {
  char duty_path[kBuzzerPathSize];
  char period_path[kBuzzerPathSize];
  FormatBuzzerPath(duty_path, directory, kDualBuzzerFiles[0]);
  FormatBuzzerPath(period_path, directory, kDualBuzzerFiles[1]);

  Attribute duty;
  if (!OpenAttribute(&duty, duty_path)) return;
  Attribute period;
  if (!OpenAttribute(&period, period_path)) {
    Close(&duty);
    return;
  }

  for (int32_t i = 0; i < step_count && !AlarmStopRequested(); ++i) {
    const char* level = pattern[i].frequency_hz != 0 ? kDualBuzzerOn : "0";
    Put(&duty, level);
    Put(&period, level);
    Flush(&duty);
    Flush(&period);
    SleepStep(pattern[i]);
  }
  // The closes send these, duty first.
  Put(&duty, "0");
  Put(&period, "0");
  Close(&duty);
  Close(&period);
}

void PlayGpioPattern(int number, const AlarmStep* pattern, int32_t step_count) {
  // The line must already be exported as an output: only its value is set.
  char path[kGpioPathSize];
  FormatGpioPath(path, number);

  Attribute value;
  if (!OpenAttribute(&value, path)) return;
  for (int32_t i = 0; i < step_count && !AlarmStopRequested(); ++i) {
    Put(&value, pattern[i].frequency_hz != 0 ? "1" : "0");
    Flush(&value);
    SleepStep(pattern[i]);
  }
  Put(&value, "0");  // sent by the close: the line is left low
  Close(&value);
}
