#include "guard/supervision.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <iterator>

#include "can/autopilot.h"
#include "can/can_hal.h"
#include "common/log_line.h"
#include "common/monotonic_time.h"
#include "guard/change_lines.h"
#include "guard/episode_log.h"
#include "guard/run_files.h"

namespace {

// How often the timer ticks while only the autopilot's silence is watched.
constexpr long long kSilenceCheckMicroseconds = kMicrosecondsPerSecond;

constexpr const char* kStateWords[] = {
    "guard idle",
    "guard awaiting confirmation",
    "guard sending standby",
    "guard alarming",
};

constexpr const char* kLinkWords[] = {"CAN up", "CAN down", "CAN bus-off", "no CAN socket"};

enum UiState : int32_t { UiNone = 0, UiConnected = 1, UiNoSocket = 2 };

// Everything the status line says, as numbers: compared as a whole after
// every pass, formatted only when it changed.
struct StatusFacts {
  int32_t state;
  int32_t keypad_present;
  int32_t link;
  int32_t autopilot;
  int32_t command_source;
  int32_t silent;
  int32_t ui;
  uint32_t episodes;  // recorded so far: the last one's field changes with it
  bool operator==(const StatusFacts&) const = default;
};

struct Supervisor {
  int notify_fd;
  sockaddr_un notify_address;
  socklen_t notify_length;
  long long watchdog_interval_us;  // 0: no watchdog
  int timer_fd;
  long long timer_period_us;  // 0 while the timer is stopped
  bool ping_due;
  const char* status_path;  // null: no status file
  char status_path_text[PATH_MAX];
  AlarmType alarm_type;
  bool reported;  // facts and line hold what was last reported
  StatusFacts facts;
  uint32_t heard_count;  // ap_status_count when the autopilot was last heard
  bool heard;
  timespec last_heard;
  time_t silent_since;  // wall clock of the last status, once silent
  bool status_file_failed;
  char line[320];
};

Supervisor supervisor = {-1, {}, 0, 0, -1, 0, false, nullptr, "", AlarmNone, false, {}, 0, false, {}, 0, false, ""};

void Notify(const char* message) {
  if (supervisor.notify_fd < 0) return;
  // Never waits: a service manager that cannot take the datagram now misses
  // it, and the guard goes on.
  (void)sendto(supervisor.notify_fd, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&supervisor.notify_address),
               supervisor.notify_length);
}

void OpenNotifySocket() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  const size_t length = std::strlen(path);
  if (length >= sizeof supervisor.notify_address.sun_path) return;
  supervisor.notify_address.sun_family = AF_UNIX;
  std::memcpy(supervisor.notify_address.sun_path, path, length);
  // "@" names a socket in the abstract namespace.
  if (path[0] == '@') supervisor.notify_address.sun_path[0] = '\0';
  supervisor.notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  supervisor.notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// The watchdog is meant for this process only when WATCHDOG_PID, if set,
// names it.
void ReadWatchdog() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || supervisor.notify_fd < 0) return;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtol(pid, nullptr, 10) != getpid()) return;
  const long long timeout = std::strtoll(usec, nullptr, 10);
  // Pinged at half the time-out: a late pass still comes in time.
  if (timeout > 1) supervisor.watchdog_interval_us = timeout / 2;
}

StatusFacts GatherFacts(const GuardLoop* loop) {
  StatusFacts facts;
  facts.state = loop->state;
  facts.keypad_present = loop->key_fd >= 0 ? 1 : 0;
  facts.link = HalGetLinkState(0);
  facts.autopilot = autopilot_address;
  facts.command_source = command_source_address;
  facts.silent = 0;
  facts.ui = loop->listen_fd < 0 ? UiNoSocket : loop->client_fd >= 0 ? UiConnected : UiNone;
  facts.episodes = EpisodesRecorded();
  return facts;
}

// Follows the autopilot's status count; true once none has come for the
// silence time after one did.
bool AutopilotSilent(const timespec* now) {
  if (ap_status_count != supervisor.heard_count) {
    supervisor.heard_count = ap_status_count;
    supervisor.heard = true;
    supervisor.last_heard = *now;
  }
  if (!supervisor.heard) return false;
  const timespec silent_at =
      AddMicroseconds(supervisor.last_heard, kAutopilotSilenceSeconds * kMicrosecondsPerSecond);
  return !IsBefore(*now, silent_at);
}

const char* LinkWord(int32_t link) {
  return link >= 0 && link < static_cast<int32_t>(std::size(kLinkWords)) ? kLinkWords[link]
                                                                         : "CAN unknown";
}

// One line for each loss and each return, condensed when one of them flaps;
// the keypad reports its own.
void ReportChanges(const StatusFacts& before, const StatusFacts& after, timespec now) {
  const char* can = hal_channels[0].ifname[0] != '\0' ? hal_channels[0].ifname : "can0";
  if (before.link != after.link) {
    switch (after.link) {
      case HalLinkUp:
        LogChange(ChangeCanLink, now, "CAN bus %s is up again", can);
        break;
      case HalLinkDown:
        LogChange(ChangeCanLink, now, "CAN interface %s is down", can);
        break;
      case HalLinkBusOff:
        LogChange(ChangeCanLink, now, "CAN controller %s is bus-off", can);
        break;
      default:
        LogChange(ChangeCanLink, now, "CAN bus %s has no socket", can);
        break;
    }
  }
  if (after.silent != before.silent) {
    if (after.silent != 0) {
      LogChange(ChangeAutopilot, now, "No autopilot status heard for %ld s", kAutopilotSilenceSeconds);
    } else {
      LogChange(ChangeAutopilot, now, "Autopilot status heard again");
    }
  }
}

// Ticks at the watchdog's pace while it is on, else once a second while
// the autopilot is heard and might fall silent or a change line is held
// back; stopped otherwise. Set only when that changes, never per pass.
void SetTimer(bool watch) {
  long long period = 0;
  if (supervisor.watchdog_interval_us > 0) {
    period = std::min(supervisor.watchdog_interval_us, kSilenceCheckMicroseconds);
  } else if (watch) {
    period = kSilenceCheckMicroseconds;
  }
  if (period == supervisor.timer_period_us || supervisor.timer_fd < 0) return;
  itimerspec ticks = {};
  ticks.it_interval = MicrosecondsToTimespec(period);
  ticks.it_value = ticks.it_interval;
  timerfd_settime(supervisor.timer_fd, 0, &ticks, nullptr);
  supervisor.timer_period_us = period;
}

void ComposeLine(const StatusFacts& facts) {
  char autopilot[64];
  if (facts.autopilot == kAddressNotLearnt) {
    std::snprintf(autopilot, sizeof autopilot, "autopilot not heard");
  } else if (facts.silent != 0) {
    tm since = {};
    localtime_r(&supervisor.silent_since, &since);
    char clock[16];
    if (std::strftime(clock, sizeof clock, "%H:%M:%S", &since) == 0) clock[0] = '\0';
    std::snprintf(autopilot, sizeof autopilot, "autopilot %d silent since %s",
                  static_cast<int>(facts.autopilot), clock);
  } else {
    std::snprintf(autopilot, sizeof autopilot, "autopilot %d", static_cast<int>(facts.autopilot));
  }
  char source[32];
  if (facts.command_source == kAddressNotLearnt) {
    std::snprintf(source, sizeof source, "no command source");
  } else {
    std::snprintf(source, sizeof source, "command source %d", static_cast<int>(facts.command_source));
  }
  const char* ui = facts.ui == UiConnected ? "UI connected"
                   : facts.ui == UiNone    ? "no UI"
                                           : "no control socket";
  std::snprintf(supervisor.line, sizeof supervisor.line, "%s; keypad %s; %s; %s, %s; %s; alarm %s%s%s",
                kStateWords[facts.state], facts.keypad_present != 0 ? "present" : "gone",
                LinkWord(facts.link), autopilot, source, ui, AlarmTypeName(supervisor.alarm_type),
                facts.episodes > 0 ? "; " : "", facts.episodes > 0 ? LastEpisodeSummary() : "");
}

void WriteStatusFile() {
  if (supervisor.status_path == nullptr) return;
  char text[sizeof supervisor.line + 1];
  const int length = std::snprintf(text, sizeof text, "%s\n", supervisor.line);
  const bool written = WriteWholeFile(supervisor.status_path, text, static_cast<size_t>(length));
  if (!written && !supervisor.status_file_failed) {
    LogLine("Unable to write %s: %s\n", supervisor.status_path, std::strerror(errno));
  }
  supervisor.status_file_failed = !written;
}

}  // namespace

void StartSupervision(const char* socket_path, AlarmType alarm_type) {
  // Beside the socket, found from wherever the guard works later (-d moves
  // it to /); only where writing it cannot hold up the guard.
  if (socket_path != nullptr) {
    if (!PathBeside(socket_path, ".status", supervisor.status_path_text,
                    sizeof supervisor.status_path_text)) {
      LogLine("Status file path %s.status is too long: no status file\n", socket_path);
    } else if (!OnMemoryFileSystem(supervisor.status_path_text)) {
      LogLine("Status file %s not written, nor the history beside it: its folder is not on a "
              "memory file system (tmpfs), where writing could hold up the guard\n",
              supervisor.status_path_text);
    } else {
      supervisor.status_path = supervisor.status_path_text;
    }
  }
  supervisor.alarm_type = alarm_type;
  // The time zone is read now, not in the first status line of the loop.
  tzset();
  OpenNotifySocket();
  ReadWatchdog();
  supervisor.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (supervisor.timer_fd < 0) LogCallFailure("timerfd_create()");
  // The first ping goes out with the first pass.
  supervisor.ping_due = true;
  SetTimer(false);
}

void NotifyReady() { Notify("READY=1"); }

int SupervisionTimerFd() { return supervisor.timer_period_us > 0 ? supervisor.timer_fd : -1; }

void ServeSupervisionTimer() {
  // Only that it ticked matters, not how often.
  uint64_t ticks;
  const ssize_t taken = read(supervisor.timer_fd, &ticks, sizeof ticks);
  static_cast<void>(taken);
  supervisor.ping_due = true;
}

void Supervise(const GuardLoop* loop, const timespec* now) {
  if (supervisor.ping_due && supervisor.watchdog_interval_us > 0) Notify("WATCHDOG=1");
  supervisor.ping_due = false;

  if (ChangesHeld()) FlushHeldChanges(*now);
  StatusFacts facts = GatherFacts(loop);
  facts.silent = AutopilotSilent(now) ? 1 : 0;
  SetTimer((supervisor.heard && facts.silent == 0) || ChangesHeld());
  if (supervisor.reported && facts == supervisor.facts) return;

  if (facts.silent != 0 && supervisor.facts.silent == 0) {
    const long long quiet_us = MicrosecondsBetween(supervisor.last_heard, *now);
    supervisor.silent_since = time(nullptr) - static_cast<time_t>(quiet_us / kMicrosecondsPerSecond);
  }
  if (supervisor.reported) ReportChanges(supervisor.facts, facts, *now);
  supervisor.facts = facts;
  supervisor.reported = true;

  ComposeLine(facts);
  char message[sizeof supervisor.line + 8];
  std::snprintf(message, sizeof message, "STATUS=%s", supervisor.line);
  Notify(message);
  WriteStatusFile();
}
