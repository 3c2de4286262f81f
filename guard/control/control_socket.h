// The control socket: how the UI application confirms a press and checks that
// the guard is alive. One UNIX stream client at a time; the newest wins.
#pragma once

#include <cstddef>
#include <cstdint>

#include "guard/decision/guard_decision.h"

// Readies the control socket's path at start-up, before anything touches
// the bus. A guard owns its path through a lock on "<path>.lock" held for its
// whole life, in a file of its own user's with mode 0600, so that no other
// user can hold it; a lock file of another owner or mode is replaced by a
// fresh one, which takes its power from descriptors opened on the old.
// Refuses, with a line on standard error and status 1: an empty path, one
// too long for a UNIX socket address, a path a running guard owns, a socket
// a program listens on and anything at the path that is not a socket, all
// left alone. A socket nobody listens on is stale and removed; it is tried
// only under the lock, when no guard can be listening there, so no guard's
// UI client is displaced. Returns the lock's descriptor, to be kept open;
// -1 when the lock cannot be had (no write access beside the socket), which
// leaves the path as it is.
int ClaimControlSocketPath(const char* path);

// Creates the listening socket at path (cut to 107 characters). An existing
// file at the path is not removed: ClaimControlSocketPath has dealt with it.
// Ends the process with status 1 on any failure.
int OpenControlSocket(const char* path);

// Accepts the waiting client; its descriptor, or -1 after reporting a failure.
// When the process or the system is out of descriptors the client is turned
// away (closed at once) through a descriptor held in reserve, so that it
// does not stay waiting and keep the listening socket readable.
int AcceptControlClient(int listen_fd);

// Reads what the client has sent, up to length bytes, in one call. Returns
// the number of bytes read; when the client is gone (end of file or a read
// error) closes it, sets *client_fd to -1 and returns 0.
size_t ReadControlBytes(int* client_fd, uint8_t* buffer, size_t length);

// Most echoes one pass of the guard can owe: one per byte it reads.
inline constexpr size_t kMaxControlEchoes = 256;

// Sends count bytes 1 (ControlPing, the only byte the guard ever sends) back
// to the client in one call, without ever waiting: a client that does not
// read cannot stall the guard; echoes that do not fit are dropped.
void SendControlEchoes(int client_fd, size_t count);
