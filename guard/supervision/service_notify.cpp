#include "guard/supervision/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

struct ServiceNotify {
  int fd;
  sockaddr_un address;
  socklen_t address_length;
  long long watchdog_ping_us;  // 0: no watchdog
};

ServiceNotify service = {-1, {}, 0, 0};

void OpenNotifySocket() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  const size_t length = std::strlen(path);
  if (length >= sizeof service.address.sun_path) return;
  service.address.sun_family = AF_UNIX;
  std::memcpy(service.address.sun_path, path, length);
  // "@" names a socket in the abstract namespace.
  if (path[0] == '@') service.address.sun_path[0] = '\0';
  service.address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  service.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// The watchdog is meant for this process only when WATCHDOG_PID, if set,
// names it.
void ReadWatchdog() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || service.fd < 0) return;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtol(pid, nullptr, 10) != getpid()) return;
  const long long timeout = std::strtoll(usec, nullptr, 10);
  if (timeout > 1) service.watchdog_ping_us = timeout / 2;
}

}  // namespace

void StartServiceNotify() {
  if (service.fd >= 0) close(service.fd);
  service = {-1, {}, 0, 0};
  OpenNotifySocket();
  ReadWatchdog();
}

void NotifyServiceManager(const char* message) {
  if (service.fd < 0) return;
  (void)sendto(service.fd, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&service.address), service.address_length);
}

long long WatchdogPingMicroseconds() { return service.watchdog_ping_us; }
