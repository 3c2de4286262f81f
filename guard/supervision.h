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
// silent: it broadcasts several a second. Noticed at the next tick of the
// supervision timer, within a second.
inline constexpr long kAutopilotSilenceSeconds = 5;

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once; without them
// nothing is sent. The status line goes to "<socket_path>.status" whenever
// it changes; to no file when socket_path is null (a guard that does not
// own the path).
void StartSupervision(const char* socket_path, AlarmType alarm_type);

// Tells the service manager that start-up is complete.
void NotifyReady();

// Descriptor the loop watches beside its own: a timer that ticks while the
// watchdog is on (at most every half of its time-out) or while the
// autopilot is heard (once a second, to notice its silence); -1 when there
// is none. A timer rather than a finite wait in select: the guard's waits
// stay unbounded, and a busy bus costs no timer set-up per frame.
int SupervisionTimerFd();

// Takes the timer's tick; the next Supervise pings the watchdog.
void ServeSupervisionTimer();

// Runs after every pass of the loop: pings the watchdog at a tick; when
// something in the status changed, writes the journal's line for a loss or
// a return, the status line to the service manager and the status file.
// An unchanged pass costs a few comparisons.
void Supervise(const GuardLoop* loop, const timespec* now);
