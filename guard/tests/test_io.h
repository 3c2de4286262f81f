// What the guard's tests write to the key device and how they reach the
// control socket, as a keypad and a UI application would.
#pragma once

#include <linux/input.h>
#include <linux/magic.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// Writes one input_event record at the platform's own size; false when it
// did not go out whole.
inline bool WriteInputEvent(int fd, uint16_t type, uint16_t code, int32_t value) {
  input_event event = {};
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

// Whether path is on a memory file system, where the guard writes the files
// beside its socket (its status line, its history).
inline bool IsMemoryFileSystem(const std::string& path) {
  struct statfs found;
  return statfs(path.c_str(), &found) == 0 && static_cast<uint32_t>(found.f_type) == TMPFS_MAGIC;
}

// A new folder named after prefix on a memory file system: in the first of
// /dev/shm, /run and /tmp that is one, else in /tmp. "" when it cannot be
// made.
inline std::string MakeMemoryFolder(const std::string& prefix) {
  std::string base = "/tmp";
  for (const char* candidate : {"/dev/shm", "/run", "/tmp"}) {
    if (IsMemoryFileSystem(candidate)) {
      base = candidate;
      break;
    }
  }
  std::string pattern = base + "/" + prefix + ".XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}
