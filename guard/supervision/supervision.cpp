#include "guard/supervision/supervision.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "can/autopilot.h"
#include "common/monotonic_time.h"
#include "guard/supervision/change_lines.h"
#include "guard/supervision/service_notify.h"
#include "guard/supervision/status_changes.h"
#include "guard/supervision/status_file.h"
#include "guard/supervision/status_line.h"
#include "guard/supervision/supervision_timer.h"

namespace {

// How often the timer ticks while only the autopilot's silence is watched.
constexpr long long kSilenceCheckMicroseconds = kMicrosecondsPerSecond;

struct Supervisor {
  AlarmType alarm_type;
  const char* can_interface;
  bool ping_due;
  bool reported;  // facts and line hold what was last reported
  StatusFacts facts;
  time_t silent_since;  // wall clock of the autopilot's last status, once silent
  char line[320];
};

Supervisor supervisor = {};

}  // namespace

void StartSupervision(const char* socket_path, AlarmType alarm_type, const char* can_interface) {
  supervisor = {};
  supervisor.alarm_type = alarm_type;
  supervisor.can_interface = can_interface;
  StartStatusFile(socket_path);
  // The time zone is read now, not in the first status line of the loop.
  tzset();
  StartServiceNotify();
  StartSupervisionTimer();
  // The first ping goes out with the first pass.
  supervisor.ping_due = true;
  SetSupervisionTimer(WatchdogPingMicroseconds() > 0
                          ? std::min(WatchdogPingMicroseconds(), kSilenceCheckMicroseconds)
                          : 0);
}

void NotifyReady() { NotifyServiceManager("READY=1"); }

void Supervise(const StatusFacts& facts, timespec now) {
  if (TakeSupervisionTick()) supervisor.ping_due = true;
  if (supervisor.ping_due && WatchdogPingMicroseconds() > 0) NotifyServiceManager("WATCHDOG=1");
  supervisor.ping_due = false;

  if (ChangesHeld()) FlushHeldChanges(now);
  const bool watch = facts.autopilot_heard == ApHeard || ChangesHeld();
  const long long watchdog = WatchdogPingMicroseconds();
  SetSupervisionTimer(watchdog > 0 ? std::min(watchdog, kSilenceCheckMicroseconds)
                      : watch      ? kSilenceCheckMicroseconds
                                   : 0);
  if (supervisor.reported && facts == supervisor.facts) return;

  if (facts.autopilot_heard == ApSilent && supervisor.facts.autopilot_heard != ApSilent) {
    const long long quiet_us = MicrosecondsBetween(MicrosecondsToTimespec(facts.silent_since_us), now);
    supervisor.silent_since = time(nullptr) - static_cast<time_t>(quiet_us / kMicrosecondsPerSecond);
  }
  if (supervisor.reported) ReportStatusChanges(supervisor.facts, facts, supervisor.can_interface, now);
  supervisor.facts = facts;
  supervisor.reported = true;

  FormatStatusLine(facts, supervisor.alarm_type, supervisor.silent_since, supervisor.line,
                   sizeof supervisor.line);
  char message[sizeof supervisor.line + 8];
  std::snprintf(message, sizeof message, "STATUS=%s", supervisor.line);
  NotifyServiceManager(message);
  WriteStatusFile(supervisor.line);
}
