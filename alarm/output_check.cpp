#include "alarm/output_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log_line.h"

namespace {

AlarmOutputFinding Found(AlarmOutputReport* report, AlarmOutputFinding finding, const char* path,
                         int error) {
  report->finding = finding;
  report->error = error;
  std::snprintf(report->path, sizeof report->path, "%s", path);
  return finding;
}

// Exists, and with try_writing opens for writing. Never waits (a FIFO
// without a reader would) and never truncates: the open alone writes nothing
// to a sysfs attribute or a file.
AlarmOutputFinding InspectFile(const char* path, bool try_writing, AlarmOutputReport* report) {
  if (access(path, F_OK) != 0) return Found(report, AlarmOutputMissing, path, errno);
  if (!try_writing) return AlarmOutputReady;
  const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Found(report, AlarmOutputNotWritable, path, errno);
  close(fd);
  return AlarmOutputReady;
}

template <size_t kCount>
AlarmOutputFinding InspectBuzzerDirectory(const char* directory, const char* const (&names)[kCount],
                                          bool try_writing, AlarmOutputReport* report) {
  char paths[kCount][kBuzzerPathSize];
  size_t longest_name = 0;
  bool fits = true;
  for (size_t i = 0; i < kCount; ++i) {
    fits = FormatBuzzerPath(paths[i], directory, names[i]) && fits;
    longest_name = std::max(longest_name, std::strlen(names[i]));
  }
  if (!fits) {
    // The slash and the terminator take their places too.
    std::snprintf(report->reason, sizeof report->reason,
                  "Buzzer directory given with -o is too long: at most %zu characters",
                  kBuzzerPathSize - 2 - longest_name);
    report->finding = AlarmOutputUnusable;
    return AlarmOutputUnusable;
  }

  const char* shown = directory != nullptr ? directory : kDefaultBuzzerDirectory;
  struct stat status;
  if (stat(shown, &status) != 0) return Found(report, AlarmOutputMissing, shown, errno);
  if (!S_ISDIR(status.st_mode)) return Found(report, AlarmOutputMissing, shown, ENOTDIR);
  for (const char* path : paths) {
    if (InspectFile(path, try_writing, report) != AlarmOutputReady) return report->finding;
  }
  return Found(report, AlarmOutputReady, shown, 0);
}

AlarmOutputFinding InspectGpioNumber(const AlarmOutput& output, bool try_writing, AlarmOutputReport* report) {
  if (!output.gpio_number_whole) {
    std::snprintf(report->reason, sizeof report->reason,
                  "GPIO number given with -o must be a whole number from 0 to %d: %s", kLargestGpioNumber,
                  output.options != nullptr ? output.options : "(none)");
    report->finding = AlarmOutputUnusable;
    return AlarmOutputUnusable;
  }
  // The line is exported by the unit's start-up, possibly after the guard's.
  char path[kGpioPathSize];
  FormatGpioPath(path, output.gpio_number);
  if (InspectFile(path, try_writing, report) != AlarmOutputReady) return report->finding;
  return Found(report, AlarmOutputReady, path, 0);
}

}  // namespace

AlarmOutput ReadAlarmOutput(AlarmType type, const char* options) {
  AlarmOutput output = {type, options, 0, false};
  output.gpio_number = ReadGpioNumber(options, &output.gpio_number_whole);
  return output;
}

AlarmOutputFinding InspectAlarmOutput(const AlarmOutput& output, bool try_writing, AlarmOutputReport* report) {
  *report = AlarmOutputReport{};
  switch (output.type) {
    case AlarmBuzzer:
      return InspectBuzzerDirectory(output.options, kBuzzerFiles, try_writing, report);
    case AlarmDualBuzzer:
      return InspectBuzzerDirectory(output.options, kDualBuzzerFiles, try_writing, report);
    case AlarmGpio:
      return InspectGpioNumber(output, try_writing, report);
    default:
      return AlarmOutputReady;  // the speaker, or no alarm at all
  }
}

int CheckAlarmOutput(const AlarmOutput& output) {
  AlarmOutputReport report;
  switch (InspectAlarmOutput(output, false, &report)) {
    case AlarmOutputUnusable:
      std::fprintf(stderr, "%s\n", report.reason);
      return 1;
    case AlarmOutputMissing:
      LogLine("Alarm output %s does not exist; alarms will not sound until it does\n", report.path);
      return 0;
    default:
      return 0;
  }
}
