// Supervision: what the service manager and the people looking after a unit
// learn of the guard. Under systemd: readiness, the watchdog ping and the
// status line, over the notification socket's datagrams (no libsystemd).
// Everywhere: the same line in a status file beside the control socket, and
// one line on standard error (the journal) for each loss and each return of
// what the guard depends on. Nothing here may ever wait.
#pragma once

#include <sys/time.h>
#include <time.h>

#include "alarm/alarm.h"
#include "guard/guard_loop.h"

// Without a status from the autopilot for this long the bus counts as
// silent: it broadcasts several a second.
inline constexpr long kAutopilotSilenceSeconds = 5;

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once; without them
// nothing is sent. The status line goes to "<socket_path>.status" whenever
// it changes; to no file when socket_path is null (a guard that does not
// own the path).
void StartSupervision(const char* socket_path, AlarmType alarm_type);

// Tells the service manager that start-up is complete.
void NotifyReady();

// The wait to hand select so that the next watchdog ping and the moment the
// autopilot would count as silent are not missed: wait itself when it ends
// sooner (or nothing is due), else spare, filled in. Finite only while one
// of the two is due.
timeval* LimitWaitForSupervision(timeval* wait, timeval* spare, const timespec* now);

// Runs after every pass of the loop: pings the watchdog when due; when
// something in the status changed, writes the journal's line for a loss or
// a return, the status line to the service manager and the status file.
// An unchanged pass costs a few comparisons.
void Supervise(const GuardLoop* loop, const timespec* now);

// The current status line, as last sent.
const char* GuardStatusLine();
