#include "guard/control_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Keeps the last byte of sun_path a terminator whatever the path's length.
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;
constexpr int kLingerSeconds = 30;
constexpr int kListenBacklog = 2;

[[noreturn]] void FailControlSocket(const char* call) {
  std::perror(call);
  std::exit(1);
}

}  // namespace

int OpenControlSocket(const char* path) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, strnlen(path, kMaxSocketPath));

  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd == -1) FailControlSocket("socket()");

  const linger lingering = {1, kLingerSeconds};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering) == -1) {
    FailControlSocket("setsockopt(...,SO_LINGER,...)");
  }
  // A file left at the path makes this fail: removing it is the service
  // manager's business, never the daemon's.
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == -1) {
    FailControlSocket("bind()");
  }
  if (listen(fd, kListenBacklog) == -1) FailControlSocket("listen()");
  return fd;
}

int AcceptControlClient(int listen_fd) {
  const int fd = accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) return fd;
  std::perror("accept()");
  return -1;
}

int ReadControlByte(int* client_fd, uint8_t* buffer, size_t length) {
  const ssize_t got = read(*client_fd, buffer, length);
  if (got > 0) return 0;
  if (got < 0) std::perror("read");
  close(*client_fd);
  *client_fd = -1;
  return 1;
}

void SendControlEcho(int client_fd, uint8_t byte) {
  if (client_fd < 0) return;
  // MSG_NOSIGNAL as well as the ignored SIGPIPE: a client that has gone must
  // never end the guard.
  (void)send(client_fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}
