// helmwatch-ctl check: proves on the unit that the guard is wired right,
// without disturbing a running guard: it never connects to the control
// socket, never configures can0 and never grabs the keypad.
#pragma once

// What RunCheck returns for a command-line error; the caller prints the
// usage text.
inline constexpr int kCheckUsageError = 2;

// Runs every check for the guard on socket_path with the words that follow
// "check" (argv[0] is "check" itself) and prints one line per check.
// Returns 0 when every check passed, 1 when one failed, kCheckUsageError
// for words it does not take (after a line saying which when that helps).
int RunCheck(const char* socket_path, int argc, char* argv[]);
