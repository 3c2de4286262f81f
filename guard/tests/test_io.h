// What the guard's tests write to the key device and how they reach the
// control socket, as a keypad and a UI application would.
#pragma once

#include <linux/input.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

// Writes one input_event record at the platform's own size, stamped as
// given; false when it did not go out whole.
inline bool WriteInputEvent(int fd, uint16_t type, uint16_t code, int32_t value,
                            timespec stamp = {}) {
  input_event event = {};
  event.input_event_sec = static_cast<decltype(event.input_event_sec)>(stamp.tv_sec);
  event.input_event_usec = static_cast<decltype(event.input_event_usec)>(stamp.tv_nsec / 1000);
  event.type = type;
  event.code = code;
  event.value = value;
  return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

// Connects a UNIX stream client to path; its descriptor, or -1.
inline int ConnectControlClient(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
