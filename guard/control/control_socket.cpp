#include "guard/control/control_socket.h"

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

// A lock file is the guard's own when nobody but its user can open it, so
// that nobody else can ever hold it: flock works on a descriptor opened only
// for reading.
bool IsOwnLock(const struct stat& found) {
  return S_ISREG(found.st_mode) && found.st_uid == geteuid() && (found.st_mode & 07777) == 0600;
}

// Whether the file at path is the one open on fd (not replaced meanwhile).
bool StillAtPath(const char* path, int fd) {
  struct stat named;
  struct stat held;
  return stat(path, &named) == 0 && fstat(fd, &held) == 0 && named.st_dev == held.st_dev &&
         named.st_ino == held.st_ino;
}

// Whether a guard holds the lock file at path (one of the guard's own).
bool HeldByAGuard(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat found;
  const bool held = fstat(fd, &found) == 0 && IsOwnLock(found) && flock(fd, LOCK_EX | LOCK_NB) != 0 &&
                    errno == EWOULDBLOCK;
  close(fd);
  return held;
}

constexpr int kLockHeld = -2;
constexpr int kLockMoved = -3;  // the file at the path changed meanwhile: try again

// Puts a fresh lock file, 0600 and already locked, at lock_path. Whatever
// stood there (another owner's, a readable one, a link) is replaced by the
// rename: a descriptor someone opened on it keeps its power over that file
// only, and a chmod would not have taken it away. Swapped in, so that a
// guard that took the path in the meantime gets its file back.
int ReplaceLock(const char* lock_path) {
  char fresh_path[PATH_MAX + sizeof ".XXXXXX"];
  std::snprintf(fresh_path, sizeof fresh_path, "%s.XXXXXX", lock_path);
  const int fd = mkostemp(fresh_path, O_CLOEXEC);  // 0600, whatever the file-creation mask
  if (fd < 0) return -1;
  if (fchmod(fd, 0600) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    unlink(fresh_path);
    close(fd);
    return -1;
  }
  int result = fd;
  if (link(fresh_path, lock_path) != 0) {
    const bool swapped = errno == EEXIST &&
                         renameat2(AT_FDCWD, fresh_path, AT_FDCWD, lock_path, RENAME_EXCHANGE) == 0;
    if (swapped && HeldByAGuard(fresh_path)) {
      (void)renameat2(AT_FDCWD, fresh_path, AT_FDCWD, lock_path, RENAME_EXCHANGE);
      result = kLockHeld;
    } else if (!swapped) {
      // A file system that cannot swap still renames.
      result = errno == ENOENT ? kLockMoved
               : errno == EINVAL && rename(fresh_path, lock_path) == 0 ? fd
                                                                      : -1;
    }
  }
  unlink(fresh_path);
  if (result != fd) close(fd);
  return result;
}

// The lock on "<path>.lock" for this guard: its descriptor, kLockHeld when a
// guard holds it, -1 when it cannot be had.
int TakeSocketLock(const char* lock_path) {
  constexpr int kTries = 4;  // each lost only to another start at the same moment
  for (int tries = 0; tries < kTries; ++tries) {
    const int fd = open(lock_path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    struct stat found;
    if (fd < 0 || fstat(fd, &found) != 0 || !IsOwnLock(found)) {
      if (fd >= 0) close(fd);
      const int replaced = ReplaceLock(lock_path);
      if (replaced != kLockMoved) return replaced;
      continue;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      return error == EWOULDBLOCK ? kLockHeld : -1;
    }
    if (StillAtPath(lock_path, fd)) return fd;
    close(fd);
  }
  return -1;
}

// What a non-blocking connect finds at a socket's path: 0 or EAGAIN when a
// program listens there, ECONNREFUSED when nobody does.
int ProbeSocket(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, strnlen(path, kMaxSocketPath));
  const int found = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return found;
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
  const int lock = TakeSocketLock(lock_path);
  if (lock == kLockHeld) {
    std::fprintf(stderr, "A guard is already running on %s\n", path);
    std::exit(1);
  }
  if (lock < 0) return -1;

  // Holding the lock, no running guard can own what is at the path; only a
  // socket nobody listens on is provably stale.
  struct stat found;
  if (lstat(path, &found) != 0) return lock;
  if (!S_ISSOCK(found.st_mode)) {
    std::fprintf(stderr, "%s is in the way of the control socket and is no socket: left alone\n", path);
    std::exit(1);
  }
  const int probed = ProbeSocket(path);
  if (probed == 0 || probed == EAGAIN) {
    std::fprintf(stderr, "%s is in the way of the control socket: a program listens on it: left alone\n", path);
    std::exit(1);
  }
  if (probed != ECONNREFUSED) {
    std::fprintf(stderr, "%s is in the way of the control socket: a socket that cannot be tried (%s): left alone\n",
                 path, std::strerror(probed));
    std::exit(1);
  }
  unlink(path);
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
