/* The UI application's side of the guard's control socket.
 *
 * The guard accepts one client at a time; a newer connection replaces the
 * older one. The client sends single bytes: 2 confirms that the UI has
 * handled a press of a guarded key (within 3 s of the key's release), 1 asks
 * whether the guard is there and idle, answered by the byte 1. Each 2
 * confirms one press, the one it was sent for, and is used up by it:
 * - sent within 3 s of the key's release, it confirms that press;
 * - sent ahead, after the key went down (a UI acting on the key-down), it
 *   confirms the press that key-down begins, as soon as the key is released
 *   (also when the guard reads the 2 before it reads the key-down itself);
 * - sent later than 3 s after the release, it is too late: the guard has
 *   sent its first standby command, and the 2 is used up by that episode;
 * - sent while no press is under way (before the key went down), it
 *   confirms nothing: the next press needs its own 2.
 * A 1 stays in force until the next byte and is answered again at every
 * wake-up of the guard while it is idle.
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

/* Withdraws a confirmation sent on a key-down whose release is still to come,
 * or a standing ping.
 * Returns 0 or -1 as above. */
int HelmwatchWithdraw(int fd);

/* Asks whether the guard is there and idle and waits up to timeout_ms for
 * its answer; then withdraws the question, so that the guard stops
 * answering, and discards answers already on the way. Returns 1 when the
 * guard answered, 0 when it did not within timeout_ms (it is busy with a
 * press, or hangs), -1 with errno set when the connection is gone. */
int HelmwatchPing(int fd, int timeout_ms);

/* Asks whether the guard is there and idle and leaves the question standing:
 * the guard answers it at every wake-up while it is idle, until the next
 * byte (HelmwatchWithdraw, for one) replaces it. HelmwatchReadEchoes counts
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
