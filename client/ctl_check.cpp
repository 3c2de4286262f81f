#include "client/ctl_check.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "alarm/alarm.h"
#include "alarm/output_check.h"
#include "client/check_alarm.h"
#include "client/check_bus.h"
#include "client/check_guard.h"
#include "client/check_keypad.h"
#include "client/check_report.h"
#include "guard/startup/published_config.h"

namespace {

constexpr long kLongestPressWait = 3600;  // s

// What is checked: a running guard's own configuration, or the options
// given, each missing one as the shipped service has it.
struct CheckedConfig {
  const char* key_device;
  const char* key_device_resolved;  // when the guard opened it; null when not known
  AlarmType alarm_type;
  const char* alarm_options;
};

struct CheckOptions {
  long press_seconds = 0;
  bool sound = false;
  bool given = false;  // -t, -o or a device
  CheckedConfig config = {HELMWATCH_SERVICE_KEY_DEVICE, nullptr, ParseAlarmType(HELMWATCH_SERVICE_ALARM_TYPE),
                          nullptr};
};

bool ParseSeconds(const char* text, long* seconds) {
  char* end = nullptr;
  errno = 0;
  *seconds = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *seconds >= 1 && *seconds <= kLongestPressWait;
}

// The words after "check": its own options, which mean what they mean to the
// daemon. False for a word it does not take.
bool ParseCheckOptions(int argc, char* argv[], CheckOptions* options) {
  static const option kLong[] = {{"press", required_argument, nullptr, 'p'},
                                 {"sound", no_argument, nullptr, 's'},
                                 {"alarm-type", required_argument, nullptr, 't'},
                                 {"alarm-options", required_argument, nullptr, 'o'},
                                 {nullptr, 0, nullptr, 0}};
  optind = 0;  // glibc's full restart, past the tool's own options
  for (int c; (c = getopt_long(argc, argv, "t:o:", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        if (!ParseSeconds(optarg, &options->press_seconds)) {
          std::fprintf(stderr, "--press takes whole seconds from 1 to %ld: %s\n", kLongestPressWait, optarg);
          return false;
        }
        break;
      case 's':
        options->sound = true;
        break;
      case 't':
        options->config.alarm_type = ParseAlarmType(optarg);
        options->given = true;
        if (options->config.alarm_type == AlarmNone) {
          std::fprintf(stderr, "Unknown alarm type %s\n", optarg);
          return false;
        }
        break;
      case 'o':
        options->config.alarm_options = optarg;
        options->given = true;
        break;
      default:
        return false;
    }
  }
  if (optind < argc) {
    options->config.key_device = argv[optind++];
    options->given = true;
  }
  if (options->config.alarm_type == AlarmGpio && options->config.alarm_options == nullptr) {
    std::fputs("GPIO alarm requires a GPIO number specified with -o.\n", stderr);
    return false;
  }
  return optind == argc;
}

// Where the configuration checked comes from, said under the guard's line.
void ReportSource(bool running, bool published, bool given, const char* socket_path) {
  if (published) {
    ReportDetail("checking the configuration it published in %s.config%s", socket_path,
                 given ? ", not the options given" : "");
  } else if (given) {
    ReportDetail("checking the options given%s", running ? "; the guard published no configuration" : "");
  } else {
    ReportDetail("checking the shipped service's configuration: -t %s %s%s", HELMWATCH_SERVICE_ALARM_TYPE,
                 HELMWATCH_SERVICE_KEY_DEVICE, running ? "; the guard published none" : "");
  }
}

}  // namespace

int RunCheck(const char* socket_path, int argc, char* argv[]) {
  CheckOptions options;
  if (!ParseCheckOptions(argc, argv, &options)) return kCheckUsageError;

  const pid_t guard = FindGuardProcess(socket_path);
  const bool running = CheckGuardRunning(socket_path, guard);
  static PublishedConfig published;
  const bool have_published = running && ReadPublishedConfig(socket_path, &published);
  ReportSource(running, have_published, options.given, socket_path);
  if (have_published) {
    // A relative path was the guard's own working directory's.
    const bool relative = published.key_device[0] != '/' && published.key_device_resolved[0] != '\0';
    options.config = {relative ? published.key_device_resolved : published.key_device,
                      published.key_device_resolved, published.alarm_type,
                      published.has_alarm_options ? published.alarm_options : nullptr};
  }
  if (running) CheckControlSocket(socket_path);

  CheckKeypad(options.config.key_device, options.config.key_device_resolved, options.press_seconds);
  CheckBus();
  // Last, as it may leave this process in the guard's mount namespace.
  if (running && !SeeFilesAsTheGuard(guard)) {
    ReportDetail("the alarm's files as this process sees them, not through the guard's own sandbox%s",
                 RootHint(EPERM));
  }
  CheckAlarm(ReadAlarmOutput(options.config.alarm_type, options.config.alarm_options), options.sound);
  return FailedChecks() == 0 ? 0 : 1;
}
