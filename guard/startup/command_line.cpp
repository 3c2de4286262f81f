#include "guard/startup/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "guard/guard.h"

const char kUsageText[] =
    "helmwatch " HELMWATCH_VERSION " - Corvan auto pilot safety guard\n"
    "\n"
    "Usage: helmwatch [OPTIONS] [input device]\n"
    "\n"
    "Options:\n"
    "\t-d\t--daemon\t\tRun in background\n"
    "\t-h\t--help\t\t\tThis help\n"
    "\t-o\t--alarm-options=type\tbuzzer (optional): path to buzzer device in /sys\n"
    "\t\t\t\t\tdualbuzzer (optional): path to buzzer device in /sys\n"
    "\t\t\t\t\tgpio: gpio number\n"
    "\t-t\t--alarm-type=type\tTypes: buzzer, dualbuzzer, gpio, speaker\n"
    "\t-u X\t--unix=X\t\tUNIX server socket name\n"
    "\n"
    "Report problems to the maintainers of your unit's software.\n";

namespace {

// The leading '+' stops glibc from moving options that follow the device
// path to the front: they are left unparsed, as the synopsis promises.
constexpr char kShortOptions[] = "+dho:t:u:";

constexpr option kLongOptions[] = {
    {"daemon", no_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"alarm-options", required_argument, nullptr, 'o'},
    {"alarm-type", required_argument, nullptr, 't'},
    {"unix", required_argument, nullptr, 'u'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void PrintUsage() {
  std::fputs(kUsageText, stderr);
  std::exit(1);
}

CommandLineResult ParseOptions(int argc, char* argv[], GuardConfig* config, const char** device_path) {
  optind = 0;  // glibc's full restart
  int option;
  while ((option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 'd':
        config->daemonize = 1;
        break;
      case 'o':
        config->alarm_options = optarg;
        break;
      case 'V':  // long only: the usage text stays as integrators know it
        return CommandLineVersion;
      case 'u':
        config->socket_name = optarg;
        break;
      case 't':
        config->alarm_type = ParseAlarmType(optarg);
        if (config->alarm_type == AlarmNone) {
          std::fprintf(stderr, "Unknown alarm type %s\n", optarg);
          return CommandLineUsage;
        }
        break;
      default:  // -h, an unknown or ambiguous option, a missing argument
        return CommandLineUsage;
    }
  }

  // Tested after all options, so -o may stand before or after -t.
  if (config->alarm_type == AlarmGpio && config->alarm_options == nullptr) {
    std::fputs("GPIO alarm requires a GPIO number specified with -o.\n", stderr);
    return CommandLineUsage;
  }

  if (optind >= argc) return CommandLineUsage;
  *device_path = argv[optind];
  return CommandLineRun;
}

const char* ParseCommandLine(int argc, char* argv[]) {
  const char* device_path = nullptr;
  switch (ParseOptions(argc, argv, &guard_config, &device_path)) {
    case CommandLineRun:
      break;
    case CommandLineVersion:
      std::puts("helmwatch " HELMWATCH_VERSION);
      std::exit(0);
    case CommandLineUsage:
      PrintUsage();
  }
  return device_path;
}
