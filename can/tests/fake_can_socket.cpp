// Raw CAN sockets and can0 as the test machine lacks them, through GNU ld
// --wrap of socket, ioctl, setsockopt, fcntl, bind, recvmmsg, write, close
// and if_nametoindex. Only descriptors that socket(PF_CAN, ...) handed out and
// the name can0 are faked; GoogleTest and the sanitizers use the same calls
// on their own descriptors, which go to the real ones untouched.
#include <fcntl.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "can/tests/fake_can.h"

// With 64-bit time the C library redirects fcntl and ioctl to other symbols,
// which the wrapped names below would miss.
#ifdef __USE_TIME_BITS64
#error "fcntl and ioctl are __fcntl_time64 and __ioctl_time64 here: wrap those"
#endif

extern "C" {
int __real_socket(int domain, int type, int protocol);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_setsockopt(int fd, int level, int name, const void* value, socklen_t length);
int __real_fcntl(int fd, int command, ...);
int __real_fcntl64(int fd, int command, ...);
int __real_bind(int fd, const sockaddr* address, socklen_t length);
int __real_recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout);
ssize_t __real_write(int fd, const void* buffer, size_t length);
int __real_close(int fd);
unsigned int __real_if_nametoindex(const char* name);
}

FakeCanSockets fake_can_sockets;

namespace {

constexpr int kMostFilters = 8;

struct FakeSocket {
  int fd;  // the end the layer holds; -1 = slot free
  int bus_end;
  int bound_index;
  // CAN_RAW_FILTER as set; a frame passes when it matches any. A new socket
  // has the kernel's default, one filter with mask 0: every frame.
  can_filter filters[kMostFilters];
  int filter_count;
  bool receive_own;  // CAN_RAW_RECV_OWN_MSGS
  bool stamps;       // SO_TIMESTAMPNS
};

constexpr FakeSocket kFreeSlot = {-1, -1, 0, {}, 1, false, false};

// A plain table: the wrappers may run before static construction and after
// static destruction.
FakeSocket sockets[8] = {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot,
                         kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot};

// What travels from the bus end to the layer's end: the frame, with what the
// kernel would tell of it beside its bytes.
struct WireFrame {
  can_frame frame;
  timespec stamp;
  int message_flags;  // MSG_CONFIRM | MSG_DONTROUTE for an own frame's echo
};

// The kernel's rule for the receive filters; error frames are not filtered
// by them.
bool Passes(const FakeSocket& socket, canid_t id) {
  if ((id & CAN_ERR_FLAG) != 0) return true;
  for (int i = 0; i < socket.filter_count; ++i) {
    const can_filter& filter = socket.filters[i];
    if ((id & filter.can_mask) == (filter.can_id & filter.can_mask)) return true;
  }
  return false;
}

FakeSocket* Find(int fd) {
  if (fd < 0) return nullptr;
  for (FakeSocket& socket : sockets) {
    if (socket.fd == fd) return &socket;
  }
  return nullptr;
}

int Fail(int error) {
  errno = error;
  return -1;
}

const char* OptionName(int name) {
  switch (name) {
    case CAN_RAW_FILTER:
      return "CAN_RAW_FILTER";
    case CAN_RAW_ERR_FILTER:
      return "CAN_RAW_ERR_FILTER";
    case CAN_RAW_LOOPBACK:
      return "CAN_RAW_LOOPBACK";
    case CAN_RAW_RECV_OWN_MSGS:
      return "CAN_RAW_RECV_OWN_MSGS";
    default:
      return "CAN_RAW_?";
  }
}

// printf's own form, so that the compiler checks every format against its
// arguments.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
// NOLINTNEXTLINE(cert-dcl50-cpp)
void Log(const char* format, ...) {
  char line[96];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  fake_can_calls.push_back(line);
}

}  // namespace

extern "C" int __wrap_socket(int domain, int type, int protocol) {
  if (domain != PF_CAN) return __real_socket(domain, type, protocol);
  Log("socket");
  if (type != SOCK_RAW || protocol != CAN_RAW) return Fail(EPROTONOSUPPORT);
  if (fake_can_sockets.socket_errno != 0) return Fail(fake_can_sockets.socket_errno);
  FakeSocket* slot = nullptr;
  for (FakeSocket& socket : sockets) {
    if (socket.fd < 0) {
      slot = &socket;
      break;
    }
  }
  if (slot == nullptr) return Fail(EMFILE);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) return -1;
  // The lower number goes to the layer, as the kernel hands out the lowest
  // free descriptor.
  *slot = kFreeSlot;
  slot->fd = ends[0];
  slot->bus_end = ends[1];
  return ends[0];
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (Find(fd) == nullptr) return __real_ioctl(fd, request, argument);

  if (request != SIOCGIFINDEX) {
    Log("ioctl 0x%lx", request);
    return Fail(EINVAL);
  }
  ifreq* interface = static_cast<ifreq*>(argument);
  Log("ioctl SIOCGIFINDEX %.*s", IFNAMSIZ, interface->ifr_name);
  if (fake_can_sockets.ifindex_errno != 0) return Fail(fake_can_sockets.ifindex_errno);
  if (fake_can_sockets.can0_missing != 0 || strncmp(interface->ifr_name, "can0", IFNAMSIZ) != 0) {
    return Fail(ENODEV);
  }
  interface->ifr_ifindex = fake_can_sockets.ifindex;
  return 0;
}

extern "C" int __wrap_setsockopt(int fd, int level, int name, const void* value,
                                 socklen_t length) {
  FakeSocket* socket = Find(fd);
  if (socket == nullptr) return __real_setsockopt(fd, level, name, value, length);

  if (level == SOL_CAN_RAW && name == CAN_RAW_FILTER && length % sizeof(can_filter) == 0 &&
      length <= sizeof socket->filters) {
    socket->filter_count = static_cast<int>(length / sizeof(can_filter));
    std::memcpy(socket->filters, value, length);
    Log("setsockopt CAN_RAW_FILTER 0x%x/0x%x%s", socket->filters[0].can_id, socket->filters[0].can_mask,
        socket->filter_count > 1 ? " and more" : "");
    return name == fake_can_sockets.failing_option ? Fail(ENOPROTOOPT) : 0;
  }
  if (level == SOL_SOCKET && name == SO_TIMESTAMPNS && length == sizeof(int)) {
    socket->stamps = *static_cast<const int*>(value) != 0;
    Log("setsockopt SO_TIMESTAMPNS %d", socket->stamps ? 1 : 0);
    return 0;
  }

  if (level != SOL_CAN_RAW || length != sizeof(uint32_t)) {
    Log("setsockopt level %d %s length %u", level, OptionName(name), length);
    return Fail(EINVAL);
  }
  uint32_t number;
  std::memcpy(&number, value, sizeof number);
  if (name == CAN_RAW_ERR_FILTER) {
    Log("setsockopt %s 0x%x", OptionName(name), number);
  } else {
    Log("setsockopt %s %u", OptionName(name), number);
  }
  if (name == fake_can_sockets.failing_option) return Fail(ENOPROTOOPT);
  if (name == CAN_RAW_RECV_OWN_MSGS) socket->receive_own = number != 0;
  return 0;
}

namespace {

void LogFcntl(int fd, int command, void* argument) {
  if (Find(fd) != nullptr) {
    if (command == F_GETFL) {
      Log("fcntl F_GETFL");
    } else if (command == F_SETFL) {
      const int flags = static_cast<int>(reinterpret_cast<intptr_t>(argument));
      Log("fcntl F_SETFL%s", (flags & O_NONBLOCK) != 0 ? " O_NONBLOCK" : "");
    } else {
      Log("fcntl %d", command);
    }
  }
}

}  // namespace

// The argument is passed on as a pointer-sized value, as the C library
// itself does: the callee reads the int or the pointer the command calls for.
// fcntl64 is what fcntl becomes with 64-bit file offsets.
extern "C" int __wrap_fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  LogFcntl(fd, command, argument);
  return __real_fcntl(fd, command, argument);
}

extern "C" int __wrap_fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  LogFcntl(fd, command, argument);
  return __real_fcntl64(fd, command, argument);
}

extern "C" int __wrap_bind(int fd, const sockaddr* address, socklen_t length) {
  FakeSocket* socket = Find(fd);
  if (socket == nullptr) return __real_bind(fd, address, length);

  sockaddr_can can_address;
  if (length != sizeof can_address) {
    Log("bind length %u", length);
    return Fail(EINVAL);
  }
  std::memcpy(&can_address, address, sizeof can_address);
  Log("bind %d", can_address.can_ifindex);
  if (can_address.can_family != AF_CAN) return Fail(EINVAL);
  if (fake_can_sockets.bind_errno != 0) return Fail(fake_can_sockets.bind_errno);
  if (can_address.can_ifindex != fake_can_sockets.ifindex) return Fail(ENODEV);
  socket->bound_index = can_address.can_ifindex;
  return 0;
}

// Every message gets one frame and, on a socket that asked for them, its
// stamp; the time-out is not looked at, as the layer never gives one.
extern "C" int __wrap_recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) {
  const FakeSocket* socket = Find(fd);
  if (socket == nullptr) return __real_recvmmsg(fd, messages, count, flags, timeout);
  fake_can_sockets.reads += 1;
  unsigned int got = 0;
  for (WireFrame wire; got < count && recv(fd, &wire, sizeof wire, flags & MSG_DONTWAIT) == static_cast<ssize_t>(sizeof wire);) {
    // Frames the socket's filters refuse never reach the reader.
    if (!Passes(*socket, wire.frame.can_id)) continue;
    msghdr& header = messages[got].msg_hdr;
    std::memcpy(header.msg_iov[0].iov_base, &wire.frame, sizeof wire.frame);
    messages[got].msg_len = sizeof wire.frame;
    header.msg_flags = wire.message_flags;
    // The layer always gives room for the stamp.
    header.msg_controllen = 0;
    if (socket->stamps) {
      header.msg_controllen = CMSG_SPACE(sizeof wire.stamp);
      cmsghdr* part = CMSG_FIRSTHDR(&header);
      part->cmsg_level = SOL_SOCKET;
      part->cmsg_type = SCM_TIMESTAMPNS;
      part->cmsg_len = CMSG_LEN(sizeof wire.stamp);
      std::memcpy(CMSG_DATA(part), &wire.stamp, sizeof wire.stamp);
    }
    got += 1;
  }
  return got > 0 ? static_cast<int>(got) : -1;
}

// A frame written whole reaches the bus at once; its echo comes back to the
// socket when it asked for its own frames and its filters let it through.
extern "C" ssize_t __wrap_write(int fd, const void* buffer, size_t length) {
  const FakeSocket* socket = Find(fd);
  if (socket == nullptr) return __real_write(fd, buffer, length);
  Log("write");
  std::deque<ssize_t>& script = fake_can_sockets.write_results;
  if (script.empty()) {
    const ssize_t written = __real_write(fd, buffer, length);
    WireFrame echo = {{}, fake_can_sockets.stamp, MSG_CONFIRM | MSG_DONTROUTE};
    if (written == static_cast<ssize_t>(sizeof echo.frame) && socket->receive_own) {
      std::memcpy(&echo.frame, buffer, sizeof echo.frame);
      if (Passes(*socket, echo.frame.can_id)) (void)send(socket->bus_end, &echo, sizeof echo, MSG_DONTWAIT);
    }
    return written;
  }
  const ssize_t result = script.front();
  script.pop_front();
  if (result < 0) return Fail(static_cast<int>(-result));
  return result;
}

extern "C" int __wrap_close(int fd) {
  FakeSocket* socket = Find(fd);
  if (socket != nullptr) {
    Log("close");
    __real_close(socket->bus_end);
    *socket = kFreeSlot;
  }
  return __real_close(fd);
}

// Whether can0 exists. Other names are looked up for real.
extern "C" unsigned int __wrap_if_nametoindex(const char* name) {
  if (std::strcmp(name, "can0") != 0) return __real_if_nametoindex(name);
  if (fake_can_sockets.can0_missing != 0) {
    errno = ENODEV;
    return 0;
  }
  return static_cast<unsigned int>(fake_can_sockets.ifindex);
}

void ResetFakeCan() {
  for (FakeSocket& socket : sockets) {
    if (socket.fd >= 0) {
      __real_close(socket.bus_end);
      __real_close(socket.fd);
      socket = kFreeSlot;
    }
  }
  fake_can_calls.clear();
  fake_can_sockets = FakeCanSockets{};
  fake_can_sockets.ifindex = 5;

  fake_socketcan = FakeSocketCan{};
  fake_socketcan.clock.freq = 8000000;
  fake_socketcan.limits = can_bittiming_const{};
  std::strncpy(fake_socketcan.limits.name, "sja1000", sizeof fake_socketcan.limits.name - 1);
  fake_socketcan.limits.tseg1_min = 1;
  fake_socketcan.limits.tseg1_max = 16;
  fake_socketcan.limits.tseg2_min = 1;
  fake_socketcan.limits.tseg2_max = 8;
  fake_socketcan.limits.sjw_max = 4;
  fake_socketcan.limits.brp_min = 1;
  fake_socketcan.limits.brp_max = 64;
  fake_socketcan.limits.brp_inc = 1;
  fake_socketcan.state = CAN_STATE_ERROR_ACTIVE;
}

int FakeCanBusEnd(int fd) {
  const FakeSocket* socket = Find(fd);
  return socket != nullptr ? socket->bus_end : -1;
}

int FakeCanBoundIndex(int fd) {
  const FakeSocket* socket = Find(fd);
  return socket != nullptr ? socket->bound_index : 0;
}

bool PutBusFrame(int fd, canid_t can_id, std::vector<uint8_t> bytes) {
  const int bus_end = FakeCanBusEnd(fd);
  if (bus_end < 0 || bytes.size() > CAN_MAX_DLEN) return false;
  WireFrame wire = {{}, fake_can_sockets.stamp, 0};
  wire.frame.can_id = can_id;
  wire.frame.can_dlc = static_cast<uint8_t>(bytes.size());
  if (!bytes.empty()) std::memcpy(wire.frame.data, bytes.data(), bytes.size());
  return send(bus_end, &wire, sizeof wire, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof wire);
}

std::vector<can_frame> TakeBusFrames(int fd) {
  std::vector<can_frame> frames;
  const int bus_end = FakeCanBusEnd(fd);
  if (bus_end < 0) return frames;
  can_frame frame;
  while (recv(bus_end, &frame, sizeof frame, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof frame)) {
    frames.push_back(frame);
  }
  return frames;
}
