#include "client/helmwatch_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/monotonic_time.h"

namespace {

constexpr unsigned char kPing = HELMWATCH_PING;
constexpr unsigned char kConfirm = HELMWATCH_CONFIRM;
constexpr unsigned char kNone = HELMWATCH_WITHDRAW;  // replaces the byte in force

int SendByte(int fd, unsigned char byte) {
  for (;;) {
    const ssize_t sent = send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == 1) return 0;
    if (sent < 0 && errno == EINTR) continue;
    // The guard reads a byte per wake-up; a full socket buffer means it has
    // stopped reading this connection altogether.
    return -1;
  }
}

// Consumes whatever has arrived. Returns the number of bytes, or -1 when the
// connection is gone.
int Drain(int fd) {
  int count = 0;
  for (;;) {
    unsigned char bytes[64];
    const ssize_t got = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got > 0) {
      count += static_cast<int>(got);
      continue;
    }
    if (got == 0) {
      errno = EPIPE;
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return count;  // EWOULDBLOCK is the same on Linux
    return -1;
  }
}

}  // namespace

extern "C" int HelmwatchConnect(const char* path) {
  if (path == nullptr) path = HELMWATCH_DEFAULT_SOCKET;
  sockaddr_un address{};
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, length);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A non-blocking UNIX connect completes at once or fails with EAGAIN when
  // the guard's backlog is full: it never leaves the caller waiting.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

extern "C" int HelmwatchConfirm(int fd) { return SendByte(fd, kConfirm); }

extern "C" int HelmwatchWithdraw(int fd) { return SendByte(fd, kNone); }

extern "C" int HelmwatchStartPing(int fd) { return SendByte(fd, kPing); }

extern "C" int HelmwatchReadEchoes(int fd, int timeout_ms) {
  const int64_t deadline = MonotonicMilliseconds() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    const int count = Drain(fd);
    if (count != 0) return count;
    const int64_t left = deadline - MonotonicMilliseconds();
    if (left <= 0) return 0;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -1;
  }
}

extern "C" int HelmwatchPing(int fd, int timeout_ms) {
  if (Drain(fd) < 0 || SendByte(fd, kPing) != 0) return -1;
  const int echoes = HelmwatchReadEchoes(fd, timeout_ms);
  if (echoes < 0 || SendByte(fd, kNone) != 0) return -1;
  // Echoes sent before the guard read the withdrawal are not answers to a
  // later question.
  if (Drain(fd) < 0) return -1;
  return echoes > 0 ? 1 : 0;
}

extern "C" void HelmwatchClose(int fd) {
  if (fd >= 0) close(fd);
}
