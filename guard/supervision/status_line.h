// The guard's status line, as the service manager shows it and the status
// file holds it: "guard idle; keypad present; CAN up; autopilot 3, command
// source 35; UI connected; alarm buzzer; last press ...".
#pragma once

#include <time.h>

#include <cstddef>

#include "alarm/alarm.h"
#include "guard/supervision/status_facts.h"

// Writes the line for facts into line (cut short to fit size).
// silent_since is the wall-clock time of the autopilot's last status, shown
// while it is silent.
void FormatStatusLine(const StatusFacts& facts, AlarmType alarm_type, time_t silent_since, char* line,
                      size_t size);

// The link's words in the line: "CAN up", "CAN down", "CAN bus-off", "no
// CAN socket".
const char* StatusLinkWords(int32_t link);
