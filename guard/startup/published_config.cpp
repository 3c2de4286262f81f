#include "guard/startup/published_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log_line.h"

namespace {

constexpr char kKeyDevice[] = "key-device";
constexpr char kKeyDeviceResolved[] = "key-device-resolved";
constexpr char kAlarmType[] = "alarm-type";
constexpr char kAlarmOptions[] = "alarm-options";

// Readable by anyone, whatever the file-creation mask (the service's 0117).
constexpr mode_t kConfigMode = 0644;

// Each value on one line, whatever it holds.
void PutLine(FILE* file, const char* name, const char* value) {
  std::fputs(name, file);
  std::fputc(' ', file);
  for (const char* at = value; *at != '\0'; ++at) {
    if (*at == '\\') {
      std::fputs("\\\\", file);
    } else if (*at == '\n') {
      std::fputs("\\n", file);
    } else {
      std::fputc(*at, file);
    }
  }
  std::fputc('\n', file);
}

bool WriteConfig(FILE* file, const char* key_device, AlarmType alarm_type, const char* alarm_options) {
  std::fputs("# What the guard that owns the control socket beside this file runs with\n", file);
  PutLine(file, kKeyDevice, key_device);
  char resolved[PATH_MAX];
  if (realpath(key_device, resolved) != nullptr) PutLine(file, kKeyDeviceResolved, resolved);
  PutLine(file, kAlarmType, AlarmTypeName(alarm_type));
  if (alarm_options != nullptr) PutLine(file, kAlarmOptions, alarm_options);
  return std::ferror(file) == 0;
}

// The value after "name " on line, undone from PutLine's escapes, into
// value; false when line holds another name.
bool TakeValue(const char* line, const char* name, char (&value)[PATH_MAX]) {
  const size_t length = std::strlen(name);
  if (std::strncmp(line, name, length) != 0 || line[length] != ' ') return false;
  size_t out = 0;
  for (const char* at = line + length + 1; *at != '\0' && *at != '\n' && out + 1 < sizeof value; ++at) {
    if (*at == '\\' && (at[1] == '\\' || at[1] == 'n')) {
      ++at;
      value[out++] = *at == 'n' ? '\n' : '\\';
    } else {
      value[out++] = *at;
    }
  }
  value[out] = '\0';
  return true;
}

}  // namespace

int PublishConfig(const char* socket_path, const char* key_device, AlarmType alarm_type,
                  const char* alarm_options) {
  char path[PATH_MAX];
  char temporary[PATH_MAX];
  if (std::snprintf(path, sizeof path, "%s.config", socket_path) >= static_cast<int>(sizeof path) ||
      std::snprintf(temporary, sizeof temporary, "%s.new", path) >= static_cast<int>(sizeof temporary)) {
    // A cut path would name some other file.
    LogLine("Unable to write %s.config: %s\n", socket_path, std::strerror(ENAMETOOLONG));
    return 1;
  }
  // Whole under another name, then renamed: a reader never sees half of it.
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kConfigMode);
  FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file == nullptr && fd >= 0) close(fd);
  bool written = file != nullptr && fchmod(fd, kConfigMode) == 0 &&
                 WriteConfig(file, key_device, alarm_type, alarm_options);
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  written = written && rename(temporary, path) == 0;
  if (written) return 0;

  LogLine("Unable to write %s: %s\n", path, std::strerror(errno));
  (void)unlink(temporary);
  (void)unlink(path);
  return 1;
}

bool ReadPublishedConfig(const char* socket_path, PublishedConfig* config) {
  char path[PATH_MAX];
  if (std::snprintf(path, sizeof path, "%s.config", socket_path) >= static_cast<int>(sizeof path)) {
    return false;
  }
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  *config = PublishedConfig{};
  char line[PATH_MAX * 2];
  char type[PATH_MAX] = "none";
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (TakeValue(line, kKeyDevice, config->key_device) ||
        TakeValue(line, kKeyDeviceResolved, config->key_device_resolved) ||
        TakeValue(line, kAlarmType, type)) {
      continue;
    }
    if (TakeValue(line, kAlarmOptions, config->alarm_options)) config->has_alarm_options = true;
  }
  (void)std::fclose(file);
  config->alarm_type = ParseAlarmType(type);
  return config->key_device[0] != '\0';
}
