// Supervision: what the service manager and the people looking after a unit
// learn of the guard, from the facts the guard loop hands over after every
// pass. Under systemd: readiness, the watchdog's ping and the status line
// (service_notify); everywhere: the same line in the status file
// (status_file) and one journal line for each loss and each return of what
// the guard depends on (status_changes). Nothing here may ever wait.
#pragma once

#include <time.h>

#include "alarm/alarm.h"
#include "guard/supervision/status_facts.h"

// Sets everything up afresh: the notification socket and watchdog from the
// environment, the timer, and the status file beside socket_path (none when
// it is null: a guard that does not own the path). can_interface names the
// link in the journal's lines.
void StartSupervision(const char* socket_path, AlarmType alarm_type, const char* can_interface);

// Tells the service manager that start-up is complete.
void NotifyReady();

// Runs after every pass of the loop: pings the watchdog at the first pass
// and at each tick of the timer; when the facts changed, writes the
// journal's line for a loss or a return, the status line to the service
// manager and the status file. The timer ticks at the watchdog's pace while
// one is on, else once a second while the autopilot is heard (to notice its
// silence) or a change line is held back. An unchanged pass costs a few
// comparisons.
void Supervise(const StatusFacts& facts, timespec now);
