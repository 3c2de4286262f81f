// The alarm child's own footing: what it keeps of the guard, how it is told
// to stop, and the limit on its life. The guard never waits for a child nor
// signals one by its process ID, which the system may have handed on: each
// child looks after its own end, and the guard reaches it only through its
// link (below).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "alarm/alarm.h"

// A child's links are the two ends of a stream socket pair made for it: the
// guard keeps one, the child the other. The guard shuts its end down to
// stop the child, and the child's end closes when the child is gone, however
// it ends; a successor inherits the guard's end to wait for that. Only the
// guard and at most one successor ever hold the guard's end.

// Called first thing in a child just forked from guard, before it plays
// step_count steps of pattern. Installs the stop handlers (SIGTERM, SIGINT,
// SIGHUP, and SIGTERM again when the guard dies), leaves the guard's
// real-time policy for the normal one, closes every descriptor from 3 up but
// the two links, takes the end of file on own_link (the child's end of its
// link, -1 for none) as a stop, then waits, at most kPredecessorWaitMs, for
// the end of the child before it (predecessor_link, the guard's end of its
// link, -1 for none; closed after the wait), so that the two never write to
// the output at once. Last it arms a timer that ends the child with status 0
// once the pattern's time and a margin have passed, even in the middle of a
// write that hangs.
void PrepareAlarmChild(pid_t guard, const AlarmStep* pattern, int32_t step_count, int own_link,
                       int predecessor_link);

// A predecessor still there after this long is stuck on its output, which a
// stop cannot end (a hung device call): the child plays all the same rather
// than lose an all-clear to it.
inline constexpr int kPredecessorWaitMs = 500;

// True once the child has been told to stop. A driver checks it between its
// steps (a stop cuts the step's sleep short, never to be resumed), switches
// its output off as at the end of a pattern and returns.
bool AlarmStopRequested();
