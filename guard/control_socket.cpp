#include "guard/control_socket.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log_line.h"

namespace {

// Keeps the last byte of sun_path a terminator whatever the path's length.
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;
constexpr int kLingerSeconds = 30;
constexpr int kListenBacklog = 2;

constexpr std::array<uint8_t, kMaxControlEchoes> AllPings() {
  std::array<uint8_t, kMaxControlEchoes> pings{};
  pings.fill(ControlPing);
  return pings;
}
constexpr std::array<uint8_t, kMaxControlEchoes> kEchoes = AllPings();

[[noreturn]] void FailControlSocket(const char* call) {
  std::perror(call);
  std::exit(1);
}

// Opens the lock file beside the socket, creating it when it is missing; a
// file that cannot be written is still locked read-only.
int OpenSocketLock(const char* lock_path) {
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW;
  constexpr mode_t kLockMode = 0644;
  const int fd = open(lock_path, O_RDWR | O_CREAT | kFlags, kLockMode);
  // cppcheck-suppress resourceLeak ; fd is returned whenever it is open
  return fd >= 0 ? fd : open(lock_path, O_RDONLY | kFlags);
}

// One descriptor held back for AcceptControlClient to give up when the
// process or the system has no other; -1 while it cannot be had.
int reserve_fd = -1;

void HoldReserveDescriptor() {
  if (reserve_fd < 0) reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

int ClaimControlSocketPath(const char* path) {
  const size_t length = std::strlen(path);
  if (length == 0) {
    std::fputs("Control socket path is empty\n", stderr);
    std::exit(1);
  }
  if (length > kMaxSocketPath) {
    std::fprintf(stderr, "Control socket path %s is too long: a UNIX socket takes %zu characters\n",
                 path, kMaxSocketPath);
    std::exit(1);
  }

  char lock_path[PATH_MAX];
  std::snprintf(lock_path, sizeof lock_path, "%s.lock", path);
  const int lock = OpenSocketLock(lock_path);
  if (lock < 0) return -1;
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      std::fprintf(stderr, "A guard is already running on %s\n", path);
      std::exit(1);
    }
    close(lock);
    return -1;
  }

  // Holding the lock, no running guard can own what is at the path.
  struct stat found;
  if (lstat(path, &found) == 0) {
    if (!S_ISSOCK(found.st_mode)) {
      std::fprintf(stderr, "%s is in the way of the control socket and is no socket: left alone\n",
                   path);
      std::exit(1);
    }
    unlink(path);
  }
  return lock;
}

int OpenControlSocket(const char* path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, strnlen(path, kMaxSocketPath));

  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd == -1) FailControlSocket("socket()");

  // As specified, though a UNIX socket has nothing in flight to linger
  // for: peers' and probes' view of the socket is kept exactly.
  const linger lingering = {1, kLingerSeconds};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering) == -1) {
    FailControlSocket("setsockopt(...,SO_LINGER,...)");
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    FailControlSocket("bind()");
  }
  if (listen(fd, kListenBacklog) == -1) FailControlSocket("listen()");
  HoldReserveDescriptor();
  return fd;
}

int AcceptControlClient(int listen_fd) {
  const int fd = accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) return fd;
  const int error = errno;
  LogCallFailure("accept()");
  // Out of descriptors, accept leaves the client waiting and the listening
  // socket stays readable: the loop would run again at once, for as long as
  // the shortage lasts. The reserve makes room to take the client off the
  // queue, and it is turned away.
  if ((error == EMFILE || error == ENFILE) && reserve_fd >= 0) {
    close(reserve_fd);
    reserve_fd = -1;
    const int turned_away = accept(listen_fd, nullptr, nullptr);
    if (turned_away >= 0) close(turned_away);
    HoldReserveDescriptor();
  }
  return -1;
}

size_t ReadControlBytes(int* client_fd, uint8_t* buffer, size_t length) {
  const ssize_t got = read(*client_fd, buffer, length);
  if (got > 0) return static_cast<size_t>(got);
  if (got < 0) LogCallFailure("read");
  close(*client_fd);
  *client_fd = -1;
  return 0;
}

void SendControlEchoes(int client_fd, size_t count) {
  if (client_fd < 0 || count == 0) return;
  // MSG_NOSIGNAL as well as the ignored SIGPIPE: a client that has gone must
  // never end the guard.
  (void)send(client_fd, kEchoes.data(), count < kMaxControlEchoes ? count : kMaxControlEchoes,
             MSG_DONTWAIT | MSG_NOSIGNAL);
}
