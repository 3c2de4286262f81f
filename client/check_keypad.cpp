#include "client/check_keypad.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "client/check_report.h"
#include "client/check_wait.h"
#include "common/monotonic_time.h"
#include "guard/keypad/key_device.h"
#include "guard/decision/short_press.h"
#include "guard/keypad/key_input.h"

namespace {

constexpr size_t kBitsPerWord = sizeof(unsigned long) * CHAR_BIT;
constexpr size_t kKeyWords = (KEY_MAX + kBitsPerWord) / kBitsPerWord;

// Which codes are the autopilot key is the short-press detector's to say: a
// key-down and a key-up at one instant make a short press exactly when the
// code is guarded.
bool IsGuardedCode(unsigned code) {
  ShortPressDetector detector = {};
  input_event event = {};
  event.type = EV_KEY;
  event.code = static_cast<uint16_t>(code);
  event.value = 1;
  const timespec at = {1, 0};
  (void)DetectShortPress(&detector, event, at, false);
  event.value = 0;
  return DetectShortPress(&detector, event, at, false) == 1;
}

// The codes for which has_code is true, as "code 30" or "codes 30 and 38".
template <typename Predicate>
void ListCodes(char* text, size_t size, Predicate has_code) {
  unsigned codes[8];
  size_t count = 0;
  for (unsigned code = 0; code <= KEY_MAX && count < std::size(codes); ++code) {
    if (has_code(code)) codes[count++] = code;
  }
  text[0] = '\0';
  if (count == 0) return;
  size_t used = static_cast<size_t>(std::snprintf(text, size, count == 1 ? "code " : "codes "));
  for (size_t i = 0; i < count && used < size; ++i) {
    const char* separator = i == 0 ? "" : i + 1 == count ? " and " : ", ";
    used += static_cast<size_t>(std::snprintf(text + used, size - used, "%s%u", separator, codes[i]));
  }
}

double Seconds(timespec start, timespec end) {
  return static_cast<double>(MicrosecondsBetween(start, end)) / static_cast<double>(kMicrosecondsPerSecond);
}

// When each key last went down during the wait; zero: not seen going down.
timespec key_down_times[KEY_MAX + 1];

// One key-up, which the detector has judged: true when it completed a short
// press of the autopilot key.
bool ReportKeyUp(const input_event& event, bool short_press, timespec seen) {
  const timespec down = key_down_times[event.code];
  const bool seen_down = down.tv_sec != 0 || down.tv_nsec != 0;
  const double held = seen_down ? Seconds(down, seen) : 0;
  if (short_press) {
    ReportCheck(true, "press: key %u, a short press of the autopilot key (held %.2f s): the guard takes it",
                event.code, held);
    return true;
  }
  if (!seen_down) {
    ReportDetail("key %u came up, held since before the wait", event.code);
  } else if (IsGuardedCode(event.code)) {
    ReportDetail("key %u held %.2f s: too long, the guard takes only presses shorter than 1 s", event.code, held);
  } else {
    ReportDetail("key %u (held %.2f s): not a guarded key, the guard ignores it", event.code, held);
  }
  return false;
}

void AskForPress(int fd, const char* path, long seconds) {
  std::fprintf(stderr, "Press the autopilot key once, briefly, within %ld s (the guard sees it too)\n", seconds);
  ShortPressDetector detector = {};
  for (timespec& down : key_down_times) down = {0, 0};
  bool any_key = false;
  const timespec deadline = AddMicroseconds(MonotonicNow(), seconds * kMicrosecondsPerSecond);
  for (int ready; (ready = WaitReadable(fd, deadline)) != 0;) {
    input_event events[16];
    const ssize_t got = ready > 0 ? read(fd, events, sizeof events) : -1;
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      ReportCheck(false, "press: %s stopped sending events (%s): unplugged?", path,
                  got < 0 ? std::strerror(errno) : "end of file");
      return;
    }
    const timespec seen = MonotonicNow();
    for (size_t i = 0; i < static_cast<size_t>(got) / sizeof events[0]; ++i) {
      const input_event& event = events[i];
      if (event.type != EV_KEY || event.code > KEY_MAX) continue;
      // Every key event, as the guard takes them: the key-down starts the hold.
      const bool short_press = DetectShortPress(&detector, event, seen, false) == 1;
      if (event.value == 1) key_down_times[event.code] = seen;
      if (event.value != 0) continue;
      any_key = true;
      if (ReportKeyUp(event, short_press, seen)) return;
    }
  }
  char guarded[64];
  ListCodes(guarded, sizeof guarded, IsGuardedCode);
  ReportCheck(false, "press: no short press of the autopilot key (key %s) within %ld s: %s", guarded, seconds,
              any_key ? "it sends another code, or was held too long"
                      : "no key came from this keypad; is it the one with the autopilot key?");
}

void ReportInputDevice(int fd, const char* path, const char* resolved, const char* guard_resolved) {
  char name[256] = "";
  if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0) std::snprintf(name, sizeof name, "(no name)");
  unsigned long keys[kKeyWords] = {};
  const bool has_keys = ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) >= 0;
  const auto sends = [&](unsigned code) {
    return has_keys && ((keys[code / kBitsPerWord] >> (code % kBitsPerWord)) & 1UL) != 0 && IsGuardedCode(code);
  };
  char found[64];
  ListCodes(found, sizeof found, sends);
  char moved[PATH_MAX + 64] = "";
  char leads[PATH_MAX + 8] = "";
  if (std::strcmp(resolved, path) != 0) std::snprintf(leads, sizeof leads, " -> %s", resolved);
  if (guard_resolved != nullptr && guard_resolved[0] != '\0' && std::strcmp(guard_resolved, resolved) != 0) {
    std::snprintf(moved, sizeof moved, " (%s when the guard started)", guard_resolved);
  }
  if (found[0] != '\0') {
    ReportCheck(true, "keypad %s%s%s \"%s\": an input-event device sending the guarded key %s", path,
                leads, moved, name, found);
    return;
  }
  char guarded[64];
  ListCodes(guarded, sizeof guarded, IsGuardedCode);
  ReportCheck(false,
              "keypad %s%s%s \"%s\": sends none of the guarded key %s, so the guard would never see "
              "the autopilot key: is it the right keypad (the udev rule's name)?",
              path, leads, moved, name, guarded);
}

}  // namespace

void CheckKeypad(const char* path, const char* guard_resolved, long press_seconds) {
  // Non-blocking: a FIFO without a writer must not hold the check up.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    ReportCheck(false, "keypad %s: %s%s", path, std::strerror(error),
                error == ENOENT ? ": no such device; is the keypad plugged in and the udev rule installed?"
                                : RootHint(error));
    if (press_seconds > 0) ReportCheck(false, "press: not asked for, the keypad cannot be read");
    return;
  }
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) std::snprintf(resolved, sizeof resolved, "%s", path);
  struct stat found;
  if (!IsKeyDevice(fd)) {
    ReportCheck(false, "keypad %s: not an input-event device; name the keypad's /dev/input/event device", path);
    if (press_seconds > 0) ReportCheck(false, "press: not asked for, there is no keypad to read");
    close(fd);
    return;
  }
  if (fstat(fd, &found) == 0 && S_ISFIFO(found.st_mode)) {
    ReportCheck(true, "keypad %s: a FIFO, fed events by a program; its keys cannot be told", path);
  } else {
    ReportInputDevice(fd, path, resolved, guard_resolved);
  }
  if (press_seconds > 0) AskForPress(fd, path, press_seconds);
  close(fd);
}
