#include "common/log_line.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Longer lines are cut: the guard's own are far shorter.
constexpr size_t kMostLineBytes = 1024;

struct LogSink {
  int fd;
  bool socket;
  uint32_t lost;
  uint32_t lost_told;  // lost as the last notice told it
  char line[kMostLineBytes];
  char out[kMostLineBytes + 96];
};

LogSink sink = {STDERR_FILENO, false, 0, 0, "", ""};

// A description of standard error's own file that is the guard's alone, so
// that its non-blocking mode touches nobody else; -1 where /proc is missing
// or the file cannot be opened again.
int OpenOwnDescription() {
  return open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool Put(const char* text, size_t length) {
  const ssize_t written = sink.socket ? send(sink.fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                      : write(sink.fd, text, length);
  return written == static_cast<ssize_t>(length);
}

}  // namespace

void StartLogLines() {
  struct stat error_file;
  if (fstat(STDERR_FILENO, &error_file) != 0) return;
  if (S_ISSOCK(error_file.st_mode)) {
    sink.socket = true;
    return;
  }
  if (!S_ISFIFO(error_file.st_mode) && !S_ISCHR(error_file.st_mode)) return;
  const int own = OpenOwnDescription();
  if (own >= 0) {
    sink.fd = own;
  } else if (S_ISFIFO(error_file.st_mode)) {
    // Without /proc a pipe's own description is made non-blocking: it is
    // no terminal shared with a shell, and its other writers are the
    // guard's alarm children, which may lose a line as well.
    const int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (flags >= 0) (void)fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
  }
}

void SendLogLinesTo(int fd) {
  sink.fd = fd;
  sink.socket = false;
}

void LogText(const char* text, size_t length) {
  size_t at = 0;
  if (sink.lost != sink.lost_told) {
    const unsigned lost = sink.lost - sink.lost_told;
    const int notice = std::snprintf(sink.out, sizeof sink.out,
                                     "(%u line%s lost here: standard error could not take %s)\n",
                                     lost, lost == 1 ? "" : "s", lost == 1 ? "it" : "them");
    if (notice > 0) at = static_cast<size_t>(notice);
  }
  if (length > sizeof sink.out - at) length = sizeof sink.out - at;
  std::memcpy(sink.out + at, text, length);
  if (Put(sink.out, at + length)) {
    sink.lost_told = sink.lost;
  } else {
    sink.lost += 1;
  }
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, each format checked against its arguments
void LogLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(sink.line, sizeof sink.line, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  LogText(sink.line, static_cast<size_t>(length) < sizeof sink.line ? static_cast<size_t>(length)
                                                                    : sizeof sink.line - 1);
}

void LogCallFailure(const char* call) { LogLine("%s: %s\n", call, std::strerror(errno)); }

uint32_t LogLinesLost() { return sink.lost; }
