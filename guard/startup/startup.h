// Process settings made once at start-up.
#pragma once

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// nothing the guard opens later is taken for standard input, output or
// error: messages never go into a socket, and alarm children can close
// every descriptor from 3 up as the guard's own.
void KeepStandardDescriptorsOpen();

// Exempts the process from the out-of-memory killer and puts it under
// SCHED_FIFO at that policy's lowest priority, so it runs ahead of every
// time-sharing process. Returns 0 on success; 1 when an adjustment could not
// be written (reported on standard error, the scheduler left alone), else
// the result of sched_setscheduler.
int RaisePriority();

// Detaches into the background: returns only in the process that goes on.
// Does nothing when the parent already is init.
void Daemonize();

// Locks every page of the process in memory, now and as it grows, so that a
// page fault under memory pressure never delays a standby command, and
// touches the stack the loop will use. A refusal is reported ("mlockall()")
// and tolerated; alarm children do not inherit the lock.
void LockMemory();
