// Process settings made once at start-up.
#pragma once

// Exempts the process from the out-of-memory killer and puts it under
// SCHED_FIFO at that policy's lowest priority, so it runs ahead of every
// time-sharing process. Returns 0 on success; 1 when an adjustment could not
// be written (reported on standard error, the scheduler left alone), else
// the result of sched_setscheduler.
int RaisePriority();

// Detaches into the background: returns only in the process that goes on.
// Does nothing when the parent already is init.
void Daemonize();
