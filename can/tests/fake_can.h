// The parts of the kernel's CAN stack that the test machine lacks, replaced
// at link time: libsocketcan (linked instead of the real library) and the
// raw-socket calls on CAN sockets (GNU ld --wrap; every other descriptor goes
// to the real call). A CAN socket is one end of a SOCK_SEQPACKET socketpair
// whose other end, its bus end, stands for the bus: 16-byte frames queue as
// on a real socket, and its non-blocking mode is real.
#pragma once

#include <linux/can.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <sys/types.h>
#include <time.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

// Every libsocketcan call and every call on a CAN socket, in order: "can_do_stop can0",
// "can_set_restart_ms can0 100", "socket", "ioctl SIOCGIFINDEX can0",
// "setsockopt CAN_RAW_ERR_FILTER 0x165", "fcntl F_SETFL O_NONBLOCK",
// "bind 5", "write", "close". Reads are only counted.
extern std::vector<std::string> fake_can_calls;

struct FakeSocketCan {
  int default_result;  // of every call without a scripted result
  // Results by function name, taken one per call before default_result.
  std::map<std::string, std::deque<int>> results;
  can_clock clock;
  can_bittiming_const limits;
  int state;
  __u32 restart_ms;  // as can_set_restart_ms left it
  can_berr_counter berr_counter;
  rtnl_link_stats64 link_stats;
};
extern FakeSocketCan fake_socketcan;

struct FakeCanSockets {
  int socket_errno;    // socket(PF_CAN, ...) fails with it when non-zero
  int can0_missing;    // if_nametoindex and SIOCGIFINDEX find no can0
  int ifindex_errno;   // SIOCGIFINDEX fails with it when non-zero
  int failing_option;  // the CAN_RAW option whose setsockopt fails; 0 = none
  int bind_errno;      // bind fails with it when non-zero
  int ifindex;         // can0's interface index
  // Outcomes of the next writes, one per write: a byte count returned
  // without writing, or -errno. Writes beyond the script go to the bus end.
  std::deque<ssize_t> write_results;
  int reads;  // recvmmsg calls on CAN sockets
  // The kernel's stamp of the frames put on the bus and of own frames'
  // echoes from now on; given only to sockets with SO_TIMESTAMPNS on.
  timespec stamp;
};
extern FakeCanSockets fake_can_sockets;

// A healthy unit: can0 with an 8 MHz controller and the limits of an SJA1000
// (tseg1 1-16, tseg2 1-8, sjw up to 4, prescaler 1-64 in steps of 1), state
// error-active, every call succeeding. Closes every CAN socket still open and
// empties the log.
void ResetFakeCan();

// The bus end of CAN socket fd; -1 when fd is no open CAN socket.
int FakeCanBusEnd(int fd);

// The interface index CAN socket fd is bound to; 0 when unbound or no CAN
// socket.
int FakeCanBoundIndex(int fd);

// Puts a frame on the bus for CAN socket fd to read, through its filters;
// false when it could not.
bool PutBusFrame(int fd, canid_t can_id, std::vector<uint8_t> bytes);

// Takes the frames CAN socket fd has written, oldest first, without waiting.
std::vector<can_frame> TakeBusFrames(int fd);
