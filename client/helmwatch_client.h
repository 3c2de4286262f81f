/* The UI application's side of the guard's control socket.
 *
 * The guard accepts one client at a time; a newer connection replaces the
 * older one and inherits what it left standing. The client sends single
 * bytes: 2 confirms that the UI has handled a press of a guarded key, 1 asks
 * whether the guard is there and idle, answered by the byte 1. Each 2
 * confirms one press, the one it was sent for, and is used up by it:
 * - sent after the key went down and before 3 s after its release (dated by
 *   the keypad's own stamps), it confirms that press: in the window after
 *   the release, or ahead, on the key-down (a UI acting on the key-down),
 *   also when the guard reads the 2 before it reads the key-down itself;
 * - sent 3 s or more after the release, it is too late: the guard commands
 *   standby, and the 2 is used up by that episode;
 * - sent while no press is under way (before the key went down), it
 *   confirms nothing: the next press needs its own 2.
 * Presses while the guard commands (an episode under way) belong to that
 * episode. A 1 stands, answered again at every wake-up of the guard while
 * it is idle, until a byte other than 1 and 2 ends it. A ping never takes
 * a confirmation away: a 0 (or any byte other than 1 and 2) ends a
 * standing ping, and withdraws a 2 only while no ping stands. So a UI that
 * confirms on the key-down may ping before the key-up and keep its 2.
 *
 * Every call returns within the time it is given; none raises SIGPIPE.
 * Usable from C and C++. */
#ifndef HELMWATCH_CLIENT_H
#define HELMWATCH_CLIENT_H

/* HELMWATCH_DEFAULT_SOCKET and the bytes themselves. */
#include "helmwatch_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Connects to the guard at path (NULL: the default). Returns the connection's
 * descriptor, or -1 with errno set (ENOENT or ECONNREFUSED: no guard
 * listens there; EAGAIN: its backlog is full). The descriptor is
 * non-blocking and close-on-exec. */
int HelmwatchConnect(const char *path);

/* Confirms the press under way. Returns 0, or -1 with errno set when the
 * connection is gone. */
int HelmwatchConfirm(int fd);

/* Ends a standing ping; with none standing, withdraws a confirmation sent on
 * a key-down whose release is still to come. Returns 0 or -1 as above. */
int HelmwatchWithdraw(int fd);

/* Asks whether the guard is there and idle and waits up to timeout_ms for
 * its answer; then ends the question (a confirmation sent before stays), so
 * that the guard stops answering, and discards answers already on the way. Returns 1 when the
 * guard answered, 0 when it did not within timeout_ms (it is busy with a
 * press, or hangs), -1 with errno set when the connection is gone. */
int HelmwatchPing(int fd, int timeout_ms);

/* Asks whether the guard is there and idle and leaves the question standing:
 * the guard answers it at every wake-up while it is idle, until
 * HelmwatchWithdraw ends it (a confirmation stays through both). HelmwatchReadEchoes counts
 * the answers. Returns 0 or -1 as above. */
int HelmwatchStartPing(int fd);

/* Waits up to timeout_ms for the guard's answer bytes and consumes those that
 * have come. Returns their number (0 after a time-out), or -1 with errno set
 * when the connection is gone (EPIPE when the guard closed it, for instance
 * for a newer client). */
int HelmwatchReadEchoes(int fd, int timeout_ms);

/* Closes the connection; the guard then forgets the byte in force. */
void HelmwatchClose(int fd);

#ifdef __cplusplus
}
#endif

#endif /* HELMWATCH_CLIENT_H */
