// The guard on a socket path as helmwatch-ctl check sees it from outside:
// whether one runs, its status line, its control socket's owner and mode,
// and the files as it sees them. Nothing here connects to the socket, which
// would take the connection from the UI.
#pragma once

#include <sys/types.h>

// The process holding the guard's lock file "<socket_path>.lock" open: the
// guard, found by its file rather than by name. -1 when there is none, or
// other processes' descriptors may not be read (without root).
pid_t FindGuardProcess(const char* socket_path);

// Whether a guard holds the lock file "<socket_path>.lock", as the kernel's
// table of locks tells anyone: without opening the file, which only the
// guard's user can, and without taking the lock, which a guard starting
// again at that moment would find taken.
bool GuardHoldsLock(const char* socket_path);

// Reports whether a guard holds the lock of socket_path, with its process
// (pid, -1 when not known) and its status line. True when one runs.
bool CheckGuardRunning(const char* socket_path, pid_t pid);

// Reports the control socket's owner, group and mode against the ones the
// service gives it: root:helmwatch, srw-rw----.
void CheckControlSocket(const char* socket_path);

// Takes up the guard's mount namespace, so that files are seen as it sees
// them, through its service's sandbox (read-only folders included). True
// when they now are: also when the guard shares this one.
bool SeeFilesAsTheGuard(pid_t pid);
