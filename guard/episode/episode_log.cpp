#include "guard/episode/episode_log.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log_line.h"
#include "common/run_files.h"

namespace {

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
constexpr size_t kMostRecordBytes = 480;

struct EpisodeLog {
  AlarmType alarm;
  bool history;
  char history_path[PATH_MAX];
  bool history_failed;
  // The last records, a ring: the oldest at first, count of them in use.
  char records[kHistoryRecords][kMostRecordBytes];
  int first;
  int count;
  int journal_fd;
  sockaddr_un journal_address;
  uint32_t recorded;
  char summary[128];
  char line[kMostRecordBytes];
  char fields[kMostRecordBytes + 640];
  char file[kHistoryRecords * kMostRecordBytes];
};

EpisodeLog episode_log = {AlarmNone, false, "", false, {}, 0, 0, -1, {}, 0, "", "", "", ""};

void Keep(const char* line, size_t length) {
  const int slot = (episode_log.first + episode_log.count) % kHistoryRecords;
  if (episode_log.count < kHistoryRecords) {
    episode_log.count += 1;
  } else {
    episode_log.first = (episode_log.first + 1) % kHistoryRecords;
  }
  if (length >= kMostRecordBytes) length = kMostRecordBytes - 1;
  std::memcpy(episode_log.records[slot], line, length);
  episode_log.records[slot][length] = '\0';
}

// The records a guard before this one left, so that a restart keeps them.
void LoadHistory() {
  const int fd = open(episode_log.history_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  const ssize_t got = read(fd, episode_log.file, sizeof episode_log.file - 1);
  close(fd);
  if (got <= 0) return;
  episode_log.file[got] = '\0';
  for (char* line = episode_log.file; *line != '\0';) {
    char* end = std::strchr(line, '\n');
    const size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    if (length > 0) Keep(line, length);
    line += length + (end != nullptr ? 1 : 0);
  }
}

void WriteHistory() {
  size_t used = 0;
  for (int i = 0; i < episode_log.count; ++i) {
    const char* record = episode_log.records[(episode_log.first + i) % kHistoryRecords];
    const size_t length = std::strlen(record);
    std::memcpy(episode_log.file + used, record, length);
    episode_log.file[used + length] = '\n';
    used += length + 1;
  }
  const bool written = WriteWholeFile(episode_log.history_path, episode_log.file, used);
  if (!written && !episode_log.history_failed) {
    LogLine("Unable to write %s: %s\n", episode_log.history_path, std::strerror(errno));
  }
  episode_log.history_failed = !written;
}

// Standard error is the journal when JOURNAL_STREAM names its device and
// inode: the record can then go to the journal itself, with its fields.
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  char* colon = nullptr;
  const unsigned long long device = std::strtoull(stream, &colon, 10);
  if (colon == stream || *colon != ':') return false;
  char* end = nullptr;
  const unsigned long long inode = std::strtoull(colon + 1, &end, 10);
  struct stat error_file;
  return end != colon + 1 && *end == '\0' && fstat(STDERR_FILENO, &error_file) == 0 &&
         error_file.st_dev == device && error_file.st_ino == inode;
}

void OpenJournal() {
  if (!StandardErrorIsJournal()) return;
  episode_log.journal_address.sun_family = AF_UNIX;
  std::memcpy(episode_log.journal_address.sun_path, kJournalSocket, sizeof kJournalSocket);
  episode_log.journal_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// Never waits: a journal that is gone, refuses or is full costs the fields,
// and the record goes to standard error instead.
bool SendToJournal(const char* fields, size_t length) {
  if (episode_log.journal_fd < 0) return false;
  return sendto(episode_log.journal_fd, fields, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&episode_log.journal_address),
                sizeof episode_log.journal_address) == static_cast<ssize_t>(length);
}

}  // namespace

void StartEpisodeLog(const char* socket_path, AlarmType alarm) {
  episode_log.alarm = alarm;
  episode_log.journal_fd = -1;
  episode_log.history = socket_path != nullptr &&
                        PathBeside(socket_path, ".history", episode_log.history_path,
                                   sizeof episode_log.history_path) &&
                        OnMemoryFileSystem(episode_log.history_path);
  if (episode_log.history) LoadHistory();
  OpenJournal();
}

void TellCommandTrouble(EpisodeRecord* record) {
  if (record->trouble == TroubleNone || record->trouble_told) return;
  record->trouble_told = true;
  const size_t length = FormatTroubleLine(*record, episode_log.line, sizeof episode_log.line - 1);
  episode_log.line[length] = '\n';
  LogText(episode_log.line, length + 1);
}

void RecordEpisode(const EpisodeRecord& record) {
  const size_t length =
      FormatEpisodeLine(record, episode_log.alarm, episode_log.line, sizeof episode_log.line - 1);
  const size_t fields = FormatJournalFields(record, episode_log.alarm, episode_log.line,
                                            episode_log.fields, sizeof episode_log.fields);
  if (!SendToJournal(episode_log.fields, fields)) {
    episode_log.line[length] = '\n';
    LogText(episode_log.line, length + 1);
  }
  Keep(episode_log.line, length);
  if (episode_log.history) WriteHistory();
  (void)FormatEpisodeSummary(record, episode_log.summary, sizeof episode_log.summary);
  episode_log.recorded += 1;
}

uint32_t EpisodesRecorded() { return episode_log.recorded; }

const char* LastEpisodeSummary() { return episode_log.summary; }
