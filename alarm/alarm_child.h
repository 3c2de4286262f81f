// The alarm child's own footing: what it keeps of the guard, how it is told
// to stop, and the limit on its life. The guard never waits for, signals or
// stops a child, so each child looks after its own end.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "alarm/alarm.h"

// Called first thing in a child just forked from guard, before it plays
// step_count steps of pattern. Installs the stop handlers (SIGTERM, SIGINT,
// SIGHUP, and SIGTERM again when the guard dies), leaves the guard's
// real-time policy for the normal one, closes every descriptor from 3 up and
// arms a timer that ends the child with status 0 once the pattern's time and
// a margin have passed, even in the middle of a write that hangs.
void PrepareAlarmChild(pid_t guard, const AlarmStep* pattern, int32_t step_count);

// True once the child has been told to stop. A driver checks it between its
// steps (a stop cuts the step's sleep short, never to be resumed), switches
// its output off as at the end of a pattern and returns.
bool AlarmStopRequested();
