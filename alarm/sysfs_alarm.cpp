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

// What an output writes to one of its attribute files.
struct AttributeWrites {
  const char* tone;      // at each tone step; null: the step's frequency
  const char* silence;   // at each silent step; null: the step's frequency, 0
  bool first_step_only;  // written with the first step alone
  const char* last;      // put after the last step and sent by the close; null: nothing
};

// An output's files, opened, written and closed in this order.
constexpr int kMostAttributes = 2;
struct SysfsOutput {
  int count;
  AttributeWrites files[kMostAttributes];
};

constexpr char kBuzzerVolumeOn[] = "10000";
constexpr char kDualBuzzerOn[] = "100";

// The volume comes on only after the first frequency is out, so the buzzer
// never sounds at whatever frequency it was left with.
constexpr SysfsOutput kBuzzerOutput = {2, {{nullptr, nullptr, false, nullptr},  // frequency
                                           {kBuzzerVolumeOn, kBuzzerVolumeOn, true, "0"}}};  // volume
// As specified, "100" to both duty and period for any tone: this output only sounds or not, at no chosen pitch.
constexpr SysfsOutput kDualBuzzerOutput = {2, {{kDualBuzzerOn, "0", false, "0"},  // duty
                                               {kDualBuzzerOn, "0", false, "0"}}};  // period
constexpr SysfsOutput kGpioOutput = {1, {{"1", "0", false, "0"}}};  // the line is left low

constexpr auto kStepMicrosecondsPerMillisecond = static_cast<uint32_t>(kMicrosecondsPerMillisecond);

// One sleep per step, not resumed when a signal cuts it short: only a stop
// does. The product is unsigned 32-bit, so a step is bounded at 4294967 ms.
void SleepStep(const AlarmStep& step) {
  const uint32_t microseconds = step.duration_ms * kStepMicrosecondsPerMillisecond;
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

bool WritesAt(const AttributeWrites& writes, int32_t step) { return !writes.first_step_only || step == 0; }

// Plays pattern on output's files at paths: opens them all (when one does
// not open, closes those opened and returns), sends each step's values, and
// closes them after the last step.
void PlayOnAttributes(const SysfsOutput& output, const char* const (&paths)[kMostAttributes],
                      const AlarmStep* pattern, int32_t step_count) {
  Attribute files[kMostAttributes];
  for (int opened = 0; opened < output.count; ++opened) {
    if (!OpenAttribute(&files[opened], paths[opened])) {
      for (int f = 0; f < opened; ++f) Close(&files[f]);
      return;
    }
  }

  for (int32_t i = 0; i < step_count && !AlarmStopRequested(); ++i) {
    char frequency[16];
    std::snprintf(frequency, sizeof frequency, "%u", pattern[i].frequency_hz);
    for (int f = 0; f < output.count; ++f) {
      const AttributeWrites& writes = output.files[f];
      if (!WritesAt(writes, i)) continue;
      const char* value = pattern[i].frequency_hz != 0 ? writes.tone : writes.silence;
      Put(&files[f], value != nullptr ? value : frequency);
      Flush(&files[f]);
    }
    SleepStep(pattern[i]);
  }
  for (int f = 0; f < output.count; ++f) {
    if (output.files[f].last != nullptr) Put(&files[f], output.files[f].last);
  }
  for (int f = 0; f < output.count; ++f) Close(&files[f]);
}

// Plays on the files named names in directory, the unit's buzzer device when null.
void PlayInDirectory(const SysfsOutput& output, const char* const (&names)[kMostAttributes], const char* directory,
                     const AlarmStep* pattern, int32_t step_count) {
  char paths[kMostAttributes][kBuzzerPathSize];
  // As specified, a folder too long (start-up refuses one) leaves the paths cut, and they are opened as cut.
  (void)FormatBuzzerPath(paths[0], directory, names[0]);
  (void)FormatBuzzerPath(paths[1], directory, names[1]);
  PlayOnAttributes(output, {paths[0], paths[1]}, pattern, step_count);
}

}  // namespace

int ReadGpioNumber(const char* text, bool* whole) {
  *whole = false;
  if (text == nullptr) return 0;
  // As specified, the driver's reading is atoi's ("7x" is line 7): only the check at start-up is strict.
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
  PlayInDirectory(kBuzzerOutput, kBuzzerFiles, directory, pattern, step_count);
}

void PlayDualBuzzerPattern(const char* directory, const AlarmStep* pattern, int32_t step_count) {
  PlayInDirectory(kDualBuzzerOutput, kDualBuzzerFiles, directory, pattern, step_count);
}

void PlayGpioPattern(int number, const AlarmStep* pattern, int32_t step_count) {
  // The line must already be exported as an output: only its value is set.
  char path[kGpioPathSize];
  // As specified, a number too long for the path leaves it cut: the cut path is opened, and named if it fails.
  (void)FormatGpioPath(path, number);
  PlayOnAttributes(kGpioOutput, {path, nullptr}, pattern, step_count);
}
