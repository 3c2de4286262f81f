// helmwatch-ctl: the UI side of the guard's control socket, for integrators
// and bench tests.
#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <string>

#include "client/check_guard.h"
#include "client/ctl_check.h"
#include "client/helmwatch_client.h"
#include "common/monotonic_time.h"
#include "recorder/flight_recorder.h"

namespace {

constexpr char kUsage[] =
    "Usage: helmwatch-ctl [-u PATH] [-t MS] COMMAND\n"
    "  status          print the guard's status line, without connecting to it\n"
    "                  (exit 0: the guard runs; 1: it does not)\n"
    "  history [N]     print the guard's records of the last N presses (default 10),\n"
    "                  oldest first, without connecting to it (exit 1: none kept)\n"
    "  flight [N]      print the N-th last flight the guard recorded around a press\n"
    "                  (default 1: the latest), the frames as candump -L writes\n"
    "                  them, without connecting to it (exit 1: none kept)\n"
    "  ping            ask whether the guard is there and idle (exit 0: it answered)\n"
    "  confirm         confirm the press under way, then disconnect\n"
    "  watch [SECONDS] ping and print every answer until the guard closes the\n"
    "                  connection or SECONDS are over\n"
    "  check [--press SECONDS] [--sound] [-t TYPE] [-o OPTIONS] [DEVICE]\n"
    "                  check on the unit, as root, that the guard is wired right:\n"
    "                  the running guard and its socket, the keypad, can0 and the\n"
    "                  autopilot, the alarm output; one line each, \"ok\" or \"FAIL\"\n"
    "                  (exit 0: all ok; 1: not). It never connects to the guard,\n"
    "                  configures can0 or grabs the keypad.\n"
    "    --press=SECONDS        wait up to SECONDS for a press of the autopilot key\n"
    "                           and report every key seen\n"
    "    --sound                play the all-clear beep once on the alarm output\n"
    "    -t, --alarm-type=TYPE  as for helmwatch, and -o and DEVICE: what is\n"
    "    -o, --alarm-options=X  checked when no guard runs (by default the\n"
    "                           shipped service's); a running guard's own otherwise\n"
    "  ping, confirm and watch connect to the guard, which takes the connection\n"
    "  from the UI application (the newest client wins): the UI's confirmations\n"
    "  are lost until it connects again. Never use them beside a running UI.\n"
    "  -u, --unix=PATH   the guard's socket (default " HELMWATCH_DEFAULT_SOCKET ")\n"
    "  -t, --timeout=MS  how long ping waits for the answer (default 1000)\n"
    "  --version         print the version and exit\n";

constexpr long kDefaultHistoryRecords = 10;

bool Number(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *value >= low && *value <= high;
}

// The line the guard keeps in "<socket>.status", and whether a guard holds
// the socket's lock "<socket>.lock": a line left by a guard that has ended
// is shown as such. Neither touches the socket itself.
int PrintStatus(const char* path) {
  const std::string status_path = std::string(path) + ".status";
  std::ifstream file(status_path);
  std::string line;
  if (!std::getline(file, line)) {
    std::printf("no status: no guard has run on %s\n", path);
    return 1;
  }
  if (!GuardHoldsLock(path)) {
    std::printf("not running; its last status: %s\n", line.c_str());
    return 1;
  }
  std::puts(line.c_str());
  return 0;
}

// The records the guard keeps of its last episodes in "<socket>.history",
// oldest first; like the status, read without touching the socket.
int PrintHistory(const char* path, long count) {
  std::ifstream file(std::string(path) + ".history");
  std::deque<std::string> last;
  for (std::string line; std::getline(file, line);) {
    if (line.empty()) continue;
    last.push_back(line);
    if (static_cast<long>(last.size()) > count) last.pop_front();
  }
  if (last.empty()) {
    std::printf("no records: no press is kept beside %s\n", path);
    return 1;
  }
  for (const std::string& line : last) std::puts(line.c_str());
  return 0;
}

// The n-th last flight log in "<socket>.flight", copied to standard output
// as it is, so that it can go straight to can-utils.
int PrintFlight(const char* path, long nth_last) {
  const std::string folder = std::string(path) + kFlightFolderSuffix;
  char log_path[PATH_MAX];
  if (!FindFlightLog(folder.c_str(), static_cast<int>(nth_last), log_path, sizeof log_path)) {
    std::fprintf(stderr, "no flight: %s kept beside %s\n", nth_last == 1 ? "none" : "not so many", path);
    return 1;
  }
  std::ifstream log(log_path, std::ios::binary);
  std::cout << log.rdbuf();
  std::cout.flush();
  return log && std::cout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kLong[] = {{"unix", required_argument, nullptr, 'u'},
                                 {"timeout", required_argument, nullptr, 't'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  const char* path = HELMWATCH_DEFAULT_SOCKET;
  long timeout_ms = 1000;
  // Up to the command word: check's options are its own.
  for (int c; (c = getopt_long(argc, argv, "+u:t:h", kLong, nullptr)) != -1;) {
    if (c == 'u') {
      path = optarg;
    } else if (c == 'V') {
      std::puts("helmwatch-ctl " HELMWATCH_VERSION);
      return 0;
    } else if (c != 't' || !Number(optarg, 0, 3600000, &timeout_ms)) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (optind >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const char* command = argv[optind];
  if (std::strcmp(command, "check") == 0) {
    const int checked = RunCheck(path, argc - optind, argv + optind);
    if (checked == kCheckUsageError) std::fputs(kUsage, stderr);
    return checked;
  }
  long seconds = -1;
  const bool history = std::strcmp(command, "history") == 0;
  const bool flight = std::strcmp(command, "flight") == 0;
  long records = history ? kDefaultHistoryRecords : 1;
  const bool known = std::strcmp(command, "ping") == 0 || std::strcmp(command, "confirm") == 0 ||
                     std::strcmp(command, "watch") == 0 || std::strcmp(command, "status") == 0 ||
                     history || flight;
  const int extra = argc - optind - 1;
  const bool extra_fits =
      extra == 0 || (extra == 1 && (history || flight ? Number(argv[optind + 1], 1, 1000, &records)
                                                      : std::strcmp(command, "watch") == 0 &&
                                                            Number(argv[optind + 1], 0, 86400, &seconds)));
  if (!known || !extra_fits) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  if (std::strcmp(command, "status") == 0) return PrintStatus(path);
  if (history) return PrintHistory(path, records);
  if (flight) return PrintFlight(path, records);

  const int fd = HelmwatchConnect(path);
  if (fd < 0) {
    std::fprintf(stderr, "helmwatch-ctl: cannot connect to %s: %s\n", path, std::strerror(errno));
    return 2;
  }
  int status = 0;
  if (std::strcmp(command, "ping") == 0) {
    const int answer = HelmwatchPing(fd, static_cast<int>(timeout_ms));
    if (answer > 0) {
      std::puts("the guard is idle");
    } else if (answer == 0) {
      std::printf("no answer within %ld ms\n", timeout_ms);
      status = 1;
    } else {
      std::fprintf(stderr, "helmwatch-ctl: %s\n", std::strerror(errno));
      status = 2;
    }
  } else if (std::strcmp(command, "confirm") == 0) {
    if (HelmwatchConfirm(fd) != 0) {
      std::fprintf(stderr, "helmwatch-ctl: %s\n", std::strerror(errno));
      status = 2;
    }
  } else {
    // A standing ping is answered at every wake-up of the idle guard.
    const double end = seconds >= 0 ? MonotonicSeconds() + static_cast<double>(seconds) : 1e300;
    if (HelmwatchStartPing(fd) != 0) status = 2;
    while (status == 0 && MonotonicSeconds() < end) {
      // At most a second at a time, so the end is noticed on a quiet guard.
      const double left_ms = (end - MonotonicSeconds()) * kMillisecondsPerSecond;
      const int count =
          HelmwatchReadEchoes(fd, static_cast<int>(std::min(left_ms, static_cast<double>(kMillisecondsPerSecond))));
      if (count < 0) {
        std::printf("%.6f closed by the guard\n", MonotonicSeconds());
        break;
      }
      for (int i = 0; i < count; ++i) std::printf("%.6f echo\n", MonotonicSeconds());
      std::fflush(stdout);
    }
  }
  HelmwatchClose(fd);
  return status;
}
