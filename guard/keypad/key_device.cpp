#include "guard/keypad/key_device.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "common/log_line.h"
#include "common/monotonic_time.h"
#include "guard/supervision/change_lines.h"

namespace {

// A device node appears by creation or rename; udev may make it readable
// only by a later change of mode or owner. The *_SELF events tell that a
// watched directory itself went away.
constexpr uint32_t kWatchEvents =
    IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kArrivalEvents = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;

struct KeyDeviceRecord {
  const char* path;  // as given, for messages
  // The path the device is opened and watched at: the given one made
  // absolute, so -d's change to / does not lose a relative one.
  char open_path[PATH_MAX];
  const char* name;  // the last component of path
  // Identity of the device that was lost. Its node may linger without
  // coming back to life, and reopening it would only fail again at the next
  // read: unless the watch names the file as new, only a different file
  // counts as the device's return.
  bool lost_known;
  dev_t lost_dev;
  ino_t lost_ino;
  int inotify_fd;        // -1 while not watching
  int watch;             // inotify watch descriptor, -1 while none
  bool watching_parent;  // the watch is on the device's own directory
  // A lost FIFO (its writer closed) comes back when a new writer writes to
  // it, or comes and goes: seen only by a reader, which waits here, beside
  // the inotify descriptor in an epoll set. -1 while none.
  int fifo_fd;
  int epoll_fd;
  bool stamps_monotonic;  // the open device stamps its events on CLOCK_MONOTONIC
};

KeyDeviceRecord key_device = {nullptr, "", nullptr, false, 0, 0, -1, -1, false, -1, -1, false};

// Has an input-event device stamp its events on the guard's own clock
// instead of the wall clock, which may be set at any time; each reader of a
// device chooses for itself, so the UI's stamps stay as they are. A FIFO
// keeps whatever stamps its writer gives.
void StampOnMonotonicClock(int fd) {
  int clock = CLOCK_MONOTONIC;
  key_device.stamps_monotonic = ioctl(fd, EVIOCSCLOCKID, &clock) == 0;
}

// Cuts the last component off directory; false once nothing is left to cut.
bool ToParent(char* directory) {
  if (std::strcmp(directory, "/") == 0 || std::strcmp(directory, ".") == 0) return false;
  char* slash = std::strrchr(directory, '/');
  if (slash == nullptr) {
    directory[0] = '.';
    directory[1] = '\0';
  } else if (slash == directory) {
    directory[1] = '\0';
  } else {
    *slash = '\0';
  }
  return true;
}

// Watches the deepest existing directory on the way to the device path, so
// that a directory removed with the device (udev's by-path links) is seen
// coming back as well.
void WatchNearestDirectory() {
  char directory[PATH_MAX];
  std::snprintf(directory, sizeof directory, "%s", key_device.open_path);
  bool parent = true;
  while (ToParent(directory)) {
    const int watch = inotify_add_watch(key_device.inotify_fd, directory, kWatchEvents);
    if (watch >= 0) {
      if (key_device.watch >= 0 && key_device.watch != watch) {
        inotify_rm_watch(key_device.inotify_fd, key_device.watch);
      }
      key_device.watch = watch;
      key_device.watching_parent = parent;
      return;
    }
    if (errno != ENOENT && errno != ENOTDIR) break;
    parent = false;
  }
  LogLine("Unable to watch for %s: %s\n", key_device.path, std::strerror(errno));
}

// Reads every pending event; true when one of them says that the device's
// own file was created, moved in or changed in its directory.
bool DrainWatchEvents() {
  bool named = false;
  alignas(inotify_event) char buffer[4096];
  ssize_t got;
  while ((got = read(key_device.inotify_fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      if (key_device.watching_parent && event.wd == key_device.watch &&
          (event.mask & kArrivalEvents) != 0 && event.len > 0 &&
          std::strcmp(name, key_device.name) == 0) {
        named = true;
      }
      at += static_cast<ssize_t>(sizeof event + event.len);
    }
  }
  return named;
}

void StopWatching() {
  for (int* fd : {&key_device.inotify_fd, &key_device.fifo_fd, &key_device.epoll_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  key_device.watch = -1;
}

// A fresh reader sees neither the end nor a hang-up of the writer that has
// gone, only what a new writer does: waiting on it cannot spin.
void WaitForNewFifoWriter() {
  key_device.fifo_fd = open(key_device.open_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat found;
  if (key_device.fifo_fd >= 0 && fstat(key_device.fifo_fd, &found) == 0 &&
      found.st_dev == key_device.lost_dev && found.st_ino == key_device.lost_ino) {
    key_device.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event readable = {};
    readable.events = EPOLLIN;
    if (key_device.epoll_fd >= 0 &&
        epoll_ctl(key_device.epoll_fd, EPOLL_CTL_ADD, key_device.inotify_fd, &readable) == 0 &&
        epoll_ctl(key_device.epoll_fd, EPOLL_CTL_ADD, key_device.fifo_fd, &readable) == 0) {
      return;
    }
  }
  // Without it, the FIFO comes back only as a new node at the path.
  for (int* fd : {&key_device.fifo_fd, &key_device.epoll_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool ReadableNow(int fd) {
  pollfd readable = {fd, POLLIN, 0};
  return poll(&readable, 1, 0) > 0;
}

int TryReopen(bool named) {
  // Non-blocking: opening must never wait (a FIFO without a writer would).
  const int fd = open(key_device.open_path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat found;
  const bool same = fstat(fd, &found) == 0 && key_device.lost_known &&
                    found.st_dev == key_device.lost_dev && found.st_ino == key_device.lost_ino;
  if ((same && !named) || !IsKeyDevice(fd)) {
    close(fd);
    return -1;
  }
  StopWatching();
  StampOnMonotonicClock(fd);
  LogChange(ChangeKeypad, MonotonicNow(), "Input device %s is back", key_device.path);
  return fd;
}

}  // namespace

bool IsKeyDevice(int fd) {
  struct stat found;
  if (fstat(fd, &found) != 0) return false;
  if (S_ISFIFO(found.st_mode)) return true;
  int version = 0;
  return S_ISCHR(found.st_mode) && ioctl(fd, EVIOCGVERSION, &version) == 0;
}

int OpenKeyDevice(const char* path) {
  key_device.path = path;
  char directory[PATH_MAX];
  if (path[0] == '/' || getcwd(directory, sizeof directory) == nullptr ||
      std::snprintf(key_device.open_path, sizeof key_device.open_path, "%s/%s", directory, path) >=
          static_cast<int>(sizeof key_device.open_path)) {
    std::snprintf(key_device.open_path, sizeof key_device.open_path, "%s", path);
  }
  const char* slash = std::strrchr(path, '/');
  key_device.name = slash == nullptr ? path : slash + 1;

  const int fd = open(path, O_RDONLY);
  if (fd < 0) return fd;
  if (IsKeyDevice(fd)) {
    StampOnMonotonicClock(fd);
    return fd;
  }
  close(fd);
  return kKeyDeviceNotInput;
}

int DropKeyDevice(int key_fd) {
  struct stat lost;
  key_device.lost_known = fstat(key_fd, &lost) == 0;
  const bool fifo = key_device.lost_known && S_ISFIFO(lost.st_mode);
  if (key_device.lost_known) {
    key_device.lost_dev = lost.st_dev;
    key_device.lost_ino = lost.st_ino;
  }
  close(key_fd);
  LogChange(ChangeKeypad, MonotonicNow(), "Input device %s is gone, waiting for it to return",
            key_device.path);

  key_device.inotify_fd = inotify_init1(IN_NONBLOCK);
  if (key_device.inotify_fd < 0) {
    LogCallFailure("inotify_init1()");
    return -1;
  }
  WatchNearestDirectory();
  if (fifo) WaitForNewFifoWriter();
  // A new device may have arrived before the watch was in place.
  return TryReopen(false);
}

int KeyDeviceWatchFd() { return key_device.epoll_fd >= 0 ? key_device.epoll_fd : key_device.inotify_fd; }

bool KeyStampsMonotonic() { return key_device.stamps_monotonic; }

void SetKeyStampsMonotonic(bool monotonic) { key_device.stamps_monotonic = monotonic; }

int ServeKeyDeviceWatch() {
  if (key_device.fifo_fd >= 0 && ReadableNow(key_device.fifo_fd)) {
    const int fd = key_device.fifo_fd;
    key_device.fifo_fd = -1;
    StopWatching();
    StampOnMonotonicClock(fd);
    LogChange(ChangeKeypad, MonotonicNow(), "Input device %s is back", key_device.path);
    return fd;
  }
  const bool named = DrainWatchEvents();
  WatchNearestDirectory();
  return TryReopen(named);
}
