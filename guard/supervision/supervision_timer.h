// The supervision's own timer, a descriptor the guard loop watches beside
// its own: a timer rather than a finite wait in select, so the guard's waits
// stay unbounded and a busy bus costs no timer set-up per frame.
#pragma once

// Creates the timer, stopped; again, it starts afresh. Says so when it
// cannot: the watchdog would then go unpinged between the guard's events.
void StartSupervisionTimer();

// Ticks every period_us from now on, or stops at 0; set only when the
// period changes, never per pass.
void SetSupervisionTimer(long long period_us);

// The timer's descriptor while it ticks, -1 while it is stopped.
int SupervisionTimerFd();

// Takes the tick waiting on the descriptor: only that it ticked matters,
// not how often.
void ServeSupervisionTimer();

// True once after each tick served.
bool TakeSupervisionTick();
