/* The guard's control protocol: what travels over its UNIX stream socket.
 * The one definition, shared by the guard and its clients.
 *
 * A client sends single bytes. The guard acts on the byte in force (the
 * last one read) at each wake-up and answers a ping with the same byte
 * while it is idle; it never sends anything else. */
#ifndef HELMWATCH_PROTOCOL_H
#define HELMWATCH_PROTOCOL_H

/* Where the guard listens unless started with -u. */
#define HELMWATCH_DEFAULT_SOCKET "/run/helmwatch"

/* Is the guard there and idle? Answered with HELMWATCH_PING. */
#define HELMWATCH_PING 1
/* The UI has handled the press: ends the confirmation window. */
#define HELMWATCH_CONFIRM 2
/* Any other byte only replaces the one in force; clients withdraw with this. */
#define HELMWATCH_WITHDRAW 0

#endif /* HELMWATCH_PROTOCOL_H */
