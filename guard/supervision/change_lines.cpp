#include "guard/supervision/change_lines.h"

#include <cstdarg>
#include <cstdio>

#include "common/log_line.h"
#include "common/monotonic_time.h"

namespace {

constexpr size_t kMostChangeLineBytes = 160;

struct ChangeWindow {
  bool open;
  timespec started;
  uint32_t written;  // lines written in this window
  uint32_t held;     // changes not shown in this window
  char line[kMostChangeLineBytes];
};

ChangeWindow windows[kChangeSubjects] = {};

bool WindowOver(const ChangeWindow& window, timespec now) {
  return !IsBefore(now, AddMicroseconds(window.started, kChangeWindowSeconds * kMicrosecondsPerSecond));
}

void WriteHeld(ChangeWindow* window, timespec now) {
  if (window->held == 1) {
    LogLine("%s\n", window->line);
  } else {
    LogLine("%s (the latest of %u changes in %ld s not shown one by one)\n", window->line,
            static_cast<unsigned>(window->held), kChangeWindowSeconds);
  }
  *window = {true, now, 1, 0, ""};
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, each format checked against its arguments
void LogChange(ChangeSubject subject, timespec now, const char* format, ...) {
  ChangeWindow& window = windows[subject];
  if (window.held > 0 && WindowOver(window, now)) WriteHeld(&window, now);
  if (!window.open || WindowOver(window, now)) window = {true, now, 0, 0, ""};

  va_list arguments;
  va_start(arguments, format);
  (void)std::vsnprintf(window.line, sizeof window.line, format, arguments);
  va_end(arguments);
  if (window.written < kChangeLinesPerWindow) {
    window.written += 1;
    LogLine("%s\n", window.line);
  } else {
    window.held += 1;
  }
}

void FlushHeldChanges(timespec now) {
  for (ChangeWindow& window : windows) {
    if (window.held > 0 && WindowOver(window, now)) WriteHeld(&window, now);
  }
}

bool ChangesHeld() {
  for (const ChangeWindow& window : windows) {
    if (window.held > 0) return true;
  }
  return false;
}

void ResetChangeLines() {
  for (ChangeWindow& window : windows) window = {};
}
