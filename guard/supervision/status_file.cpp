#include "guard/supervision/status_file.h"

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log_line.h"
#include "common/run_files.h"

namespace {

struct StatusFile {
  const char* path;  // null: no status file
  char path_text[PATH_MAX];
  bool failed;
};

StatusFile status_file = {nullptr, "", false};

}  // namespace

void StartStatusFile(const char* socket_path) {
  status_file.path = nullptr;
  status_file.failed = false;
  if (socket_path == nullptr) return;
  // Found from wherever the guard works later (-d moves it to /).
  if (!PathBeside(socket_path, ".status", status_file.path_text, sizeof status_file.path_text)) {
    LogLine("Status file path %s.status is too long: no status file\n", socket_path);
  } else if (!OnMemoryFileSystem(status_file.path_text)) {
    LogLine("Status file %s not written, nor the history and flights beside it: its folder is not on a "
            "memory file system (tmpfs), where writing could hold up the guard\n",
            status_file.path_text);
  } else {
    status_file.path = status_file.path_text;
  }
}

void WriteStatusFile(const char* line) {
  if (status_file.path == nullptr) return;
  char text[512];
  const int length = std::snprintf(text, sizeof text, "%s\n", line);
  if (length < 0) return;
  const size_t size = std::min(static_cast<size_t>(length), sizeof text - 1);
  const bool written = WriteWholeFile(status_file.path, text, size);
  if (!written && !status_file.failed) {
    LogLine("Unable to write %s: %s\n", status_file.path, std::strerror(errno));
  }
  status_file.failed = !written;
}
