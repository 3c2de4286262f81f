#include "common/run_files.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

bool PathBeside(const char* socket_path, const char* suffix, char* out, size_t size) {
  char directory[PATH_MAX] = "";
  if (socket_path[0] != '/' && getcwd(directory, sizeof directory) != nullptr) {
    std::strncat(directory, "/", sizeof directory - std::strlen(directory) - 1);
  }
  const int length = std::snprintf(nullptr, 0, "%s%s%s", directory, socket_path, suffix);
  if (length < 0 || static_cast<size_t>(length) + sizeof ".new" > size) return false;
  std::snprintf(out, size, "%s%s%s", directory, socket_path, suffix);
  return true;
}

bool OnMemoryFileSystem(const char* path) {
  char folder[PATH_MAX];
  std::snprintf(folder, sizeof folder, "%s", path);
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) {
    std::snprintf(folder, sizeof folder, ".");
  } else {
    slash[slash == folder ? 1 : 0] = '\0';
  }
  struct statfs found;
  if (statfs(folder, &found) != 0) return false;
  // The type is a signed word of either width; the magic numbers are 32 bits.
  const auto type = static_cast<uint32_t>(found.f_type);
  return type == static_cast<uint32_t>(TMPFS_MAGIC) || type == static_cast<uint32_t>(RAMFS_MAGIC);
}

bool WriteWholeFile(const char* path, const char* text, size_t length) {
  char temporary[PATH_MAX];
  std::snprintf(temporary, sizeof temporary, "%s.new", path);
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  errno = EIO;  // what a short write that sets nothing tells
  const bool filled = write(fd, text, length) == static_cast<ssize_t>(length) && fchmod(fd, 0644) == 0;
  const int error = errno;
  if (close(fd) != 0) return false;
  if (!filled) {
    errno = error;
    return false;
  }
  return rename(temporary, path) == 0;
}
