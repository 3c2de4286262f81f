#include "alarm/output_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "alarm/sysfs_alarm.h"
#include "common/log_line.h"

namespace {

// A whole decimal number, digits only, from 0 to kLargestGpioNumber.
bool ReadWholeGpioNumber(const char* text, int* number) {
  if (text == nullptr || *text == '\0') return false;
  int value = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return false;
    value = value * 10 + (*digit - '0');
    if (value > kLargestGpioNumber) return false;
  }
  *number = value;
  return true;
}

void WarnMissing(const char* path) {
  LogLine("Alarm output %s does not exist; alarms will not sound until it does\n", path);
}

template <size_t kCount>
int CheckBuzzerDirectory(const char* directory, const char* const (&names)[kCount]) {
  char paths[kCount][kBuzzerPathSize];
  size_t longest_name = 0;
  bool fits = true;
  for (size_t i = 0; i < kCount; ++i) {
    fits = FormatBuzzerPath(paths[i], directory, names[i]) && fits;
    longest_name = std::max(longest_name, std::strlen(names[i]));
  }
  if (!fits) {
    // The slash and the terminator take their places too.
    std::fprintf(stderr, "Buzzer directory given with -o is too long: at most %zu characters\n",
                 kBuzzerPathSize - 2 - longest_name);
    return 1;
  }

  const char* shown = directory != nullptr ? directory : kDefaultBuzzerDirectory;
  struct stat status;
  if (stat(shown, &status) != 0 || !S_ISDIR(status.st_mode)) {
    WarnMissing(shown);
    return 0;
  }
  for (const char* path : paths) {
    if (access(path, F_OK) != 0) {
      WarnMissing(path);
      return 0;
    }
  }
  return 0;
}

int CheckGpioNumber(const char* options) {
  int number = 0;
  if (!ReadWholeGpioNumber(options, &number)) {
    std::fprintf(stderr, "GPIO number given with -o must be a whole number from 0 to %d: %s\n",
                 kLargestGpioNumber, options != nullptr ? options : "(none)");
    return 1;
  }
  // The line is exported by the unit's start-up, possibly after the guard's.
  char path[kGpioPathSize];
  FormatGpioPath(path, number);
  if (access(path, F_OK) != 0) WarnMissing(path);
  return 0;
}

}  // namespace

int CheckAlarmOutput(AlarmType type, const char* options) {
  switch (type) {
    case AlarmBuzzer:
      return CheckBuzzerDirectory(options, kBuzzerFiles);
    case AlarmDualBuzzer:
      return CheckBuzzerDirectory(options, kDualBuzzerFiles);
    case AlarmGpio:
      return CheckGpioNumber(options);
    default:
      return 0;  // the speaker, or no alarm at all
  }
}
