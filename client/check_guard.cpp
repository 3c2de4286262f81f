#include "client/check_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/check_report.h"

namespace {

// What the service makes of the socket: its Group= and UMask=0117.
constexpr char kServiceGroup[] = "helmwatch";
constexpr mode_t kServiceSocketMode = 0660;

// "srw-rw----", as ls shows it.
void ModeText(mode_t mode, char (&text)[11]) {
  constexpr char kLetters[] = "rwxrwxrwx";
  text[0] = S_ISSOCK(mode) ? 's' : S_ISDIR(mode) ? 'd' : S_ISREG(mode) ? '-' : '?';
  for (int bit = 0; bit < 9; ++bit) text[1 + bit] = (mode & (0400U >> bit)) != 0 ? kLetters[bit] : '-';
  text[10] = '\0';
}

// The first line of path, without its line break; empty when there is none.
void ReadFirstLine(const char* path, char* line, size_t size) {
  line[0] = '\0';
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return;
  if (std::fgets(line, static_cast<int>(size), file) == nullptr) line[0] = '\0';
  line[std::strcspn(line, "\n")] = '\0';
  (void)std::fclose(file);
}

bool IsNumber(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Whether one of pid's descriptors is the file identified by wanted.
bool HoldsFile(long pid, const struct stat& wanted) {
  char folder[32];
  std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
  DIR* descriptors = opendir(folder);
  if (descriptors == nullptr) return false;
  bool holds = false;
  for (const dirent* entry; !holds && (entry = readdir(descriptors)) != nullptr;) {
    if (!IsNumber(entry->d_name)) continue;
    char link[64];
    struct stat found;
    std::snprintf(link, sizeof link, "%s/%ld", folder, std::strtol(entry->d_name, nullptr, 10));
    holds = stat(link, &found) == 0 && found.st_dev == wanted.st_dev && found.st_ino == wanted.st_ino;
  }
  closedir(descriptors);
  return holds;
}

// A user's or group's name, or its number when it has none.
void OwnerName(uid_t uid, char (&name)[64]) {
  passwd entry;
  passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    std::snprintf(name, sizeof name, "%s", found->pw_name);
  } else {
    std::snprintf(name, sizeof name, "%u", static_cast<unsigned>(uid));
  }
}

void GroupName(gid_t gid, char (&name)[64]) {
  group entry;
  group* found = nullptr;
  char buffer[1024];
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    std::snprintf(name, sizeof name, "%s", found->gr_name);
  } else {
    std::snprintf(name, sizeof name, "%u", static_cast<unsigned>(gid));
  }
}

}  // namespace

pid_t FindGuardProcess(const char* socket_path) {
  char lock_path[PATH_MAX];
  std::snprintf(lock_path, sizeof lock_path, "%s.lock", socket_path);
  struct stat lock;
  if (stat(lock_path, &lock) != 0) return -1;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return -1;
  pid_t pid = -1;
  for (const dirent* entry; pid < 0 && (entry = readdir(processes)) != nullptr;) {
    const long number = IsNumber(entry->d_name) ? std::strtol(entry->d_name, nullptr, 10) : -1;
    if (number > 0 && number != getpid() && HoldsFile(number, lock)) pid = static_cast<pid_t>(number);
  }
  closedir(processes);
  return pid;
}

bool GuardHoldsLock(const char* socket_path) {
  char path[PATH_MAX];
  std::snprintf(path, sizeof path, "%s.lock", socket_path);
  struct stat lock;
  if (stat(path, &lock) != 0) return false;
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF": the kind, then the
  // holder, then the file's device (hexadecimal) and inode. Waiters' lines
  // ("1: -> FLOCK ...") hold nothing.
  bool held = false;
  for (char line[256]; !held && std::fgets(line, sizeof line, locks) != nullptr;) {
    char* fields[6] = {};
    char* rest = nullptr;
    size_t count = 0;
    for (char* field = strtok_r(line, " \t\n", &rest); field != nullptr && count < 6;
         field = strtok_r(nullptr, " \t\n", &rest)) {
      fields[count++] = field;
    }
    if (count < 6 || std::strcmp(fields[1], "FLOCK") != 0) continue;
    char* end = nullptr;
    const unsigned long device_major = std::strtoul(fields[5], &end, 16);
    if (*end != ':') continue;
    const unsigned long device_minor = std::strtoul(end + 1, &end, 16);
    if (*end != ':') continue;
    const unsigned long inode = std::strtoul(end + 1, &end, 10);
    held = *end == '\0' && device_major == major(lock.st_dev) && device_minor == minor(lock.st_dev) &&
           inode == lock.st_ino;
  }
  (void)std::fclose(locks);
  return held;
}

bool CheckGuardRunning(const char* socket_path, pid_t pid) {
  const bool running = GuardHoldsLock(socket_path);
  char path[PATH_MAX];
  char status[512];
  std::snprintf(path, sizeof path, "%s.status", socket_path);
  ReadFirstLine(path, status, sizeof status);
  if (running) {
    char process[32] = "";
    if (pid > 0) std::snprintf(process, sizeof process, " (process %d)", static_cast<int>(pid));
    ReportCheck(true, "guard on %s: running%s; its status: %s", socket_path, process,
                status[0] != '\0' ? status : "(none yet)");
  } else if (status[0] != '\0') {
    ReportCheck(false, "guard on %s: not running (its last status: %s), so the autopilot is unguarded: start "
                "it (systemctl start helmwatch; journalctl -u helmwatch tells why it stopped)", socket_path, status);
  } else {
    ReportCheck(false, "guard on %s: none has run here, so the autopilot is unguarded: start it (systemctl "
                "start helmwatch)", socket_path);
  }
  return running;
}

void CheckControlSocket(const char* socket_path) {
  struct stat found;
  if (lstat(socket_path, &found) != 0) {
    ReportCheck(false, "control socket %s: %s: the guard runs without one, as when can0 or its priority failed "
                "at its start (journalctl -u helmwatch tells); no press can be confirmed, so every press ends in "
                "standby and the alarm", socket_path, std::strerror(errno));
    return;
  }
  char mode[11];
  ModeText(found.st_mode, mode);
  char owner_name[64];
  char group_name[64];
  OwnerName(found.st_uid, owner_name);
  GroupName(found.st_gid, group_name);
  const bool as_shipped = S_ISSOCK(found.st_mode) && found.st_uid == 0 &&
                          std::strcmp(group_name, kServiceGroup) == 0 &&
                          (found.st_mode & 07777) == kServiceSocketMode;
  if (as_shipped) {
    ReportCheck(true, "control socket %s: %s %s:%s, for root and the UI's user in the group %s", socket_path,
                mode, owner_name, group_name, kServiceGroup);
  } else {
    ReportCheck(false, "control socket %s: %s %s:%s, where the service makes it srw-rw---- root:%s: start the "
                "guard through its service, so that root and the group %s (the UI's user) alone may connect",
                socket_path, mode, owner_name, group_name, kServiceGroup, kServiceGroup);
  }
}

bool SeeFilesAsTheGuard(pid_t pid) {
  if (pid <= 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/ns/mnt", static_cast<int>(pid));
  struct stat guards;
  struct stat own;
  if (stat(path, &guards) != 0 || stat("/proc/self/ns/mnt", &own) != 0) return false;
  if (guards.st_ino == own.st_ino && guards.st_dev == own.st_dev) return true;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool entered = setns(fd, CLONE_NEWNS) == 0;
  close(fd);
  return entered;
}
