// The service manager's notification socket (systemd's sd_notify protocol,
// spoken without libsystemd): readiness, the watchdog's ping and the status
// line, each one datagram that is never waited for.
#pragma once

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once; without them
// nothing is ever sent. Again, it starts afresh.
void StartServiceNotify();

// Sends one message ("READY=1", "WATCHDOG=1", "STATUS=..."); a manager that
// cannot take it now misses it.
void NotifyServiceManager(const char* message);

// How often the watchdog wants its ping (half its time-out, so a late pass
// still comes in time); 0 when no watchdog is meant for this process.
long long WatchdogPingMicroseconds();
