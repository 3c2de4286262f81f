#include "client/check_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

int failed_checks = 0;

// The status column is as wide as its longest word and two blanks.
[[gnu::format(printf, 2, 0)]] void PrintLine(const char* status, const char* format, va_list arguments) {
  std::printf("%-6s", status);
  std::vprintf(format, arguments);
  std::putchar('\n');
  std::fflush(stdout);
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's form, checked by the format attribute
void ReportCheck(bool ok, const char* format, ...) {
  if (!ok) ++failed_checks;
  va_list arguments;
  va_start(arguments, format);
  PrintLine(ok ? "ok" : "FAIL", format, arguments);
  va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's form, checked by the format attribute
void ReportDetail(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PrintLine("", format, arguments);
  va_end(arguments);
}

int FailedChecks() { return failed_checks; }

const char* RootHint(int error) {
  return (error == EACCES || error == EPERM) && geteuid() != 0 ? "; run helmwatch-ctl check as root" : "";
}
