#include "recorder/flight_recorder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "common/monotonic_time.h"
#include "common/run_files.h"

namespace {

constexpr uint32_t kLeastEntries = 16;
// 24 MiB: the ring's bytes stay well within 32 bits.
constexpr uint32_t kMostEntries = 1U << 20;
constexpr char kInterface[] = "can0";
constexpr char kLogSuffix[] = ".log";
constexpr char kEventsSuffix[] = ".events";
constexpr char kUnfinishedSuffix[] = ".new";
constexpr int kNumberDigits = 6;
constexpr uint32_t kMostNumber = 999999;
// Flights an earlier run may have left, beyond those kept, looked at.
constexpr int kMostFoundFlights = 1024;
constexpr long long kMarginNanoseconds = static_cast<long long>(kFlightMarginSeconds) * kNanosecondsPerSecond;
// A frame line is at most 51 bytes, an event line well under this.
constexpr size_t kMostLineBytes = 192;
constexpr int kExaminedPerLine = 8;
// A flight file's path: the folder was refused unless it fits in PATH_MAX;
// the rest is for the compiler, which cannot know that.
constexpr size_t kPathBytes = PATH_MAX + 32;
// As candump writes an error frame's identifier: its classes and this flag.
constexpr uint32_t kErrorFrameFlag = 0x20000000;

// What an entry holds, and the marks of a frame.
constexpr uint8_t kEntryFrame = 0x01;
constexpr uint8_t kEntryEvent = 0x02;
constexpr uint8_t kEntryOwn = 0x10;
constexpr uint8_t kEntryStandard = 0x20;
constexpr uint8_t kEntryError = 0x40;

struct FlightEntry {
  uint32_t seconds;  // a frame's on CLOCK_REALTIME, an event's on CLOCK_MONOTONIC
  uint32_t nanoseconds;
  uint32_t id;    // a frame's identifier (an error frame's classes), or the FlightEvent
  uint8_t kind;   // kEntryFrame with its marks, or kEntryEvent
  uint8_t length;
  uint8_t reserved[2];
  uint8_t data[8];  // an event's value, then its detail
};
static_assert(sizeof(FlightEntry) == 24);

// Monotonic nanoseconds; the wall clock is the monotonic one plus
// wall_offset.
struct Window {
  bool used;
  bool ended;
  long long from;
  long long to;
  long long wall_offset;
};

struct KeptFlight {
  uint32_t number;
  long long bytes;
};

struct Recorder {
  FlightEntry* ring;
  uint32_t capacity;  // a power of two; 0 before the start
  uint64_t head;      // entries ever recorded
  char folder[PATH_MAX];
  // [0] is the next to write; [1] one begun while [0] is being written.
  Window windows[2];
  // The flight being written.
  bool writing;
  uint64_t read;
  uint64_t stop;
  int log_fd;
  int events_fd;
  uint32_t number;  // of the flight being written, else of the next
  bool overwritten;
  bool cut;
  long long bytes;
  uint32_t frames;
  uint32_t own_frames;
  char log_text[16384];
  size_t log_used;
  char events_text[8192];
  size_t events_used;
  // The flights in the folder, oldest first.
  KeptFlight kept[kFlightFilesKept];
  int kept_count;
  long long wall_offset_for_testing;
};

Recorder recorder = {};

long long Nanoseconds(uint32_t seconds, uint32_t nanoseconds) {
  return static_cast<long long>(seconds) * kNanosecondsPerSecond + nanoseconds;
}

long long WallOffset() {
  if (recorder.wall_offset_for_testing != 0) return recorder.wall_offset_for_testing;
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  return TimespecNanoseconds(wall) - TimespecNanoseconds(MonotonicNow());
}

FlightEntry& NextEntry() {
  FlightEntry& entry = recorder.ring[recorder.head & (recorder.capacity - 1)];
  recorder.head += 1;
  return entry;
}

// The entry's time on the monotonic clock, as the window is.
long long MonotonicTimeOf(const FlightEntry& entry, const Window& window) {
  const long long time = Nanoseconds(entry.seconds, entry.nanoseconds);
  return (entry.kind & kEntryFrame) != 0 ? time - window.wall_offset : time;
}

void PathOf(uint32_t number, const char* suffix, bool unfinished, char* path) {
  std::snprintf(path, kPathBytes, "%s/%0*" PRIu32 "%s%s", recorder.folder, kNumberDigits, number, suffix,
                unfinished ? kUnfinishedSuffix : "");
}

void RemoveFlight(uint32_t number) {
  char path[kPathBytes];
  PathOf(number, kLogSuffix, false, path);
  (void)unlink(path);
  PathOf(number, kEventsSuffix, false, path);
  (void)unlink(path);
}

// Room for a flight of the most bytes beside those kept, within the cap.
void MakeRoom() {
  long long total = 0;
  for (int i = 0; i < recorder.kept_count; ++i) total += recorder.kept[i].bytes;
  int dropped = 0;
  while (dropped < recorder.kept_count &&
         (recorder.kept_count - dropped >= kFlightFilesKept || total + kFlightMostBytes > kFlightSpaceCap)) {
    RemoveFlight(recorder.kept[dropped].number);
    total -= recorder.kept[dropped].bytes;
    dropped += 1;
  }
  std::copy(recorder.kept + dropped, recorder.kept + recorder.kept_count, recorder.kept);
  recorder.kept_count -= dropped;
}

// The number in a flight file's name "NNNNNN<suffix>", else 0.
uint32_t NumberOf(const char* name, const char* suffix) {
  for (int i = 0; i < kNumberDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
  }
  if (std::strcmp(name + kNumberDigits, suffix) != 0) return 0;
  return static_cast<uint32_t>(std::strtoul(name, nullptr, 10));
}

// The numbers of the flight logs in folder, up to most of them, ascending.
int FindFlights(const char* folder, uint32_t* numbers, int most) {
  DIR* directory = opendir(folder);
  if (directory == nullptr) return 0;
  int count = 0;
  for (const dirent* entry; (entry = readdir(directory)) != nullptr && count < most;) {
    const uint32_t number = NumberOf(entry->d_name, kLogSuffix);
    if (number != 0) numbers[count++] = number;
  }
  closedir(directory);
  std::sort(numbers, numbers + count);
  return count;
}

long long FileBytes(uint32_t number, const char* suffix) {
  char path[kPathBytes];
  PathOf(number, suffix, false, path);
  struct stat found;
  return stat(path, &found) == 0 ? static_cast<long long>(found.st_size) : 0;
}

// What an earlier run left: its flights kept as this run's own, within the
// limits; unfinished files and events without their log removed.
void TakeUpFolder() {
  static uint32_t numbers[kMostFoundFlights];
  const int count = FindFlights(recorder.folder, numbers, kMostFoundFlights);
  const int first_kept = std::max(0, count - kFlightFilesKept);
  for (int i = 0; i < count; ++i) {
    if (i < first_kept) {
      RemoveFlight(numbers[i]);
      continue;
    }
    recorder.kept[recorder.kept_count++] = {numbers[i],
                                            FileBytes(numbers[i], kLogSuffix) + FileBytes(numbers[i], kEventsSuffix)};
  }
  recorder.number = count > 0 && numbers[count - 1] < kMostNumber ? numbers[count - 1] + 1 : 1;

  DIR* directory = opendir(recorder.folder);
  if (directory == nullptr) return;
  for (const dirent* entry; (entry = readdir(directory)) != nullptr;) {
    const char* end = std::strrchr(entry->d_name, '.');
    const bool unfinished = end != nullptr && std::strcmp(end, kUnfinishedSuffix) == 0;
    const uint32_t events_of = NumberOf(entry->d_name, kEventsSuffix);
    bool orphan = events_of != 0;
    for (int i = 0; i < recorder.kept_count && orphan; ++i) orphan = recorder.kept[i].number != events_of;
    if (unfinished || orphan) (void)unlinkat(dirfd(directory), entry->d_name, 0);
  }
  closedir(directory);
}

// The folder as the guard's own, entered by anyone whatever the
// file-creation mask (the service's takes the owner's search right too).
bool MakeFolder(const char* folder) {
  if (mkdir(folder, 0755) != 0 && errno != EEXIST) return false;
  struct stat found;
  if (lstat(folder, &found) != 0) return false;
  if (!S_ISDIR(found.st_mode) || found.st_uid != geteuid()) {
    errno = ENOTDIR;
    return false;
  }
  return chmod(folder, 0755) == 0;
}

bool Flush(int fd, char* text, size_t* used) {
  if (*used == 0) return true;
  const ssize_t written = write(fd, text, *used);
  if (written != static_cast<ssize_t>(*used)) {
    if (written >= 0) errno = ENOSPC;
    return false;
  }
  *used = 0;
  return true;
}

// Room for one more line in text, flushing it to fd when short of it.
bool Room(int fd, char* text, size_t size, size_t* used) {
  return size - *used >= kMostLineBytes || Flush(fd, text, used);
}

size_t AddText(char* text, size_t size, size_t used, const char* format, ...) __attribute__((format(printf, 4, 5)));
// NOLINTNEXTLINE(cert-dcl50-cpp)
size_t AddText(char* text, size_t size, size_t used, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int added = std::vsnprintf(text + used, size - used, format, arguments);
  va_end(arguments);
  if (added <= 0) return used;
  return std::min(used + static_cast<size_t>(added), size - 1);
}

// A frame line as candump -L writes it: no direction, data bytes in upper
// case, a standard identifier in 3 digits, an error frame's with its flag.
size_t FrameLine(const FlightEntry& entry, char* text, size_t size, size_t used) {
  used = AddText(text, size, used, "(%010" PRIu32 ".%06" PRIu32 ") %s ", entry.seconds,
                 entry.nanoseconds / static_cast<uint32_t>(kNanosecondsPerMicrosecond), kInterface);
  if ((entry.kind & kEntryStandard) != 0) {
    used = AddText(text, size, used, "%03" PRIX32 "#", entry.id);
  } else {
    used = AddText(text, size, used, "%08" PRIX32 "#",
                   (entry.kind & kEntryError) != 0 ? entry.id | kErrorFrameFlag : entry.id);
  }
  for (int i = 0; i < entry.length && i < 8; ++i) used = AddText(text, size, used, "%02X", entry.data[i]);
  return AddText(text, size, used, "\n");
}

// The moment on the wall clock, local, and as the frame lines stamp it.
size_t WallTime(long long wall, char* text, size_t size, size_t used) {
  const auto seconds = static_cast<time_t>(wall / kNanosecondsPerSecond);
  const long microseconds = static_cast<long>(wall % kNanosecondsPerSecond) / kNanosecondsPerMicrosecond;
  tm local = {};
  localtime_r(&seconds, &local);
  char clock[32];
  if (std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &local) == 0) clock[0] = '\0';
  return AddText(text, size, used, "%s.%06ld (%010lld.%06ld)", clock, microseconds, static_cast<long long>(seconds),
                 microseconds);
}

const char* NotSentWhy(int32_t why) {
  static constexpr const char* kWhy[] = {"",
                                         "the autopilot's address is not known",
                                         "the command source address is not known",
                                         "CAN is down",
                                         "the CAN controller is bus-off",
                                         "there is no CAN socket"};
  return why > 0 && why < static_cast<int32_t>(std::size(kWhy)) ? kWhy[why] : "for a reason not known";
}

const char* EndedHow(int32_t how) {
  static constexpr const char* kHow[] = {"", "confirmed by the UI", "the autopilot reported standby",
                                         "given up after the last command"};
  return how > 0 && how < static_cast<int32_t>(std::size(kHow)) ? kHow[how] : "";
}

size_t EventLine(const FlightEntry& entry, const Window& window, char* text, size_t size, size_t used) {
  int32_t value;
  int32_t detail;
  std::memcpy(&value, &entry.data[0], sizeof value);
  std::memcpy(&detail, &entry.data[4], sizeof detail);
  used = WallTime(Nanoseconds(entry.seconds, entry.nanoseconds) + window.wall_offset, text, size, used);
  switch (static_cast<FlightEvent>(entry.id)) {
    case FlightKeyDown:
      return AddText(text, size, used, " key %" PRId32 " down\n", value);
    case FlightKeyUp:
      return AddText(text, size, used, " key %" PRId32 " up, held %" PRId32 " ms\n", value, detail);
    case FlightControlByte:
      return AddText(text, size, used, " control byte %" PRId32 " read from the UI\n", value);
    case FlightWarningStarted:
      return AddText(text, size, used, " warning alarm started\n");
    case FlightAllClearStarted:
      return AddText(text, size, used, " all-clear started\n");
    case FlightCommandWritten:
      return AddText(text, size, used, " standby command frame %" PRId32 " (sequence %" PRId32 ") written\n", value,
                     detail);
    case FlightCommandRefused:
      return AddText(text, size, used, " standby command frame refused by the CAN layer (%" PRId32 "): %s\n", value,
                     detail != 0 ? std::strerror(detail) : "no reason given");
    case FlightCommandNotSent:
      return AddText(text, size, used, " standby command not sent: %s\n", NotSentWhy(value));
    case FlightEpisodeBegun:
      return AddText(text, size, used, " episode begun\n");
    case FlightEpisodeEnded:
      return AddText(text, size, used, " episode ended: %s\n", EndedHow(value));
  }
  return AddText(text, size, used, " event %" PRIu32 "\n", entry.id);
}

void AbandonFlight() {
  char path[kPathBytes];
  close(recorder.log_fd);
  close(recorder.events_fd);
  recorder.log_fd = -1;
  recorder.events_fd = -1;
  PathOf(recorder.number, kLogSuffix, true, path);
  (void)unlink(path);
  PathOf(recorder.number, kEventsSuffix, true, path);
  (void)unlink(path);
}

void NextWindow() {
  recorder.writing = false;
  recorder.windows[0] = recorder.windows[1];
  recorder.windows[1] = Window{};
}

FlightWrite Failed() {
  const int error = errno;
  AbandonFlight();
  NextWindow();
  return {FlightFailed, recorder.number, false, error};
}

bool OpenFlight() {
  MakeRoom();
  char path[kPathBytes];
  PathOf(recorder.number, kLogSuffix, true, path);
  recorder.log_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  PathOf(recorder.number, kEventsSuffix, true, path);
  recorder.events_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (recorder.log_fd < 0 || recorder.events_fd < 0) return false;
  // Readable by anyone whatever the file-creation mask, as the other files
  // beside the socket.
  return fchmod(recorder.log_fd, 0644) == 0 && fchmod(recorder.events_fd, 0644) == 0;
}

void BeginWriting() {
  const Window& window = recorder.windows[0];
  recorder.writing = true;
  recorder.stop = recorder.head;
  recorder.read = recorder.head > recorder.capacity ? recorder.head - recorder.capacity : 0;
  // The oldest entry left already within the window: older ones of it may
  // have been overwritten.
  recorder.overwritten =
      recorder.read > 0 && MonotonicTimeOf(recorder.ring[recorder.read & (recorder.capacity - 1)], window) >= window.from;
  recorder.cut = false;
  recorder.frames = 0;
  recorder.own_frames = 0;
  recorder.log_used = 0;
  recorder.events_used = 0;
  recorder.events_used = WallTime(window.from + window.wall_offset, recorder.events_text, sizeof recorder.events_text,
                                  0);
  recorder.events_used = AddText(recorder.events_text, sizeof recorder.events_text, recorder.events_used,
                                 " flight %0*" PRIu32 " of %s begins, %ld s before the key-down; its frames are in "
                                 "%0*" PRIu32 "%s\n",
                                 kNumberDigits, recorder.number, kInterface, kFlightMarginSeconds, kNumberDigits,
                                 recorder.number, kLogSuffix);
  recorder.bytes = static_cast<long long>(recorder.events_used);
}

// One entry of the window into its file; false when writing failed.
bool WriteEntry(const FlightEntry& entry, const Window& window) {
  const bool frame = (entry.kind & kEntryFrame) != 0;
  char* text = frame ? recorder.log_text : recorder.events_text;
  size_t* used = frame ? &recorder.log_used : &recorder.events_used;
  const size_t size = frame ? sizeof recorder.log_text : sizeof recorder.events_text;
  if (!Room(frame ? recorder.log_fd : recorder.events_fd, text, size, used)) return false;
  const size_t before = *used;
  if (recorder.bytes + static_cast<long long>(kMostLineBytes) > kFlightMostBytes) {
    recorder.cut = true;
    return true;
  }
  *used = frame ? FrameLine(entry, text, size, *used) : EventLine(entry, window, text, size, *used);
  recorder.bytes += static_cast<long long>(*used - before);
  if (frame) {
    recorder.frames += 1;
    if ((entry.kind & kEntryOwn) != 0) recorder.own_frames += 1;
  }
  return true;
}

// The last line tells whether the files hold the whole window; then both
// get their final names, the events first, so that a log found has its
// events beside it.
bool FinishFlight(const Window& window) {
  const bool complete = !recorder.overwritten && !recorder.cut;
  size_t used = recorder.events_used;
  if (!Room(recorder.events_fd, recorder.events_text, sizeof recorder.events_text, &used)) return false;
  used = WallTime(window.to + window.wall_offset, recorder.events_text, sizeof recorder.events_text, used);
  used = AddText(recorder.events_text, sizeof recorder.events_text, used,
                 " flight ends, %ld s after the episode's end: %" PRIu32 " frames, %" PRIu32 " of them the guard's "
                 "own; %s\n",
                 kFlightMarginSeconds, recorder.frames, recorder.own_frames,
                 complete               ? "complete"
                 : recorder.overwritten ? "INCOMPLETE: the ring overflowed, frames and events of the window were "
                                          "overwritten before they were written"
                                        : "INCOMPLETE: cut at the flight's size limit");
  recorder.bytes += static_cast<long long>(used - recorder.events_used);
  recorder.events_used = used;
  if (!Flush(recorder.log_fd, recorder.log_text, &recorder.log_used) ||
      !Flush(recorder.events_fd, recorder.events_text, &recorder.events_used)) {
    return false;
  }
  if (close(recorder.log_fd) != 0 || close(recorder.events_fd) != 0) {
    recorder.log_fd = -1;
    recorder.events_fd = -1;
    return false;
  }
  recorder.log_fd = -1;
  recorder.events_fd = -1;
  char from[kPathBytes];
  char to[kPathBytes];
  for (const char* suffix : {kEventsSuffix, kLogSuffix}) {
    PathOf(recorder.number, suffix, true, from);
    PathOf(recorder.number, suffix, false, to);
    if (rename(from, to) != 0) return false;
  }
  recorder.kept[recorder.kept_count++] = {recorder.number, recorder.bytes};
  return true;
}

}  // namespace

FlightStart StartFlightRecorder(const char* folder, uint32_t entries) {
  StopFlightRecorder();
  // Room for the longest name in it, "/NNNNNN.events.new".
  if (std::strlen(folder) + 1 + kNumberDigits + std::strlen(kEventsSuffix) + std::strlen(kUnfinishedSuffix) >=
      sizeof recorder.folder) {
    errno = ENAMETOOLONG;
    return FlightNoFolder;
  }
  std::snprintf(recorder.folder, sizeof recorder.folder, "%s", folder);
  if (!OnMemoryFileSystem(folder)) return FlightNotOnMemory;
  if (!MakeFolder(folder)) return FlightNoFolder;

  uint32_t capacity = kLeastEntries;
  while (capacity < entries && capacity < kMostEntries) capacity <<= 1;
  const size_t bytes = sizeof(FlightEntry) * capacity;
  // Every page touched now, so that recording never waits for one.
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) return FlightNoMemory;
  recorder.ring = static_cast<FlightEntry*>(memory);
  recorder.capacity = capacity;
  TakeUpFolder();
  return mlock(memory, bytes) == 0 ? FlightStarted : FlightNotLocked;
}

void StopFlightRecorder() {
  if (recorder.writing) AbandonFlight();
  if (recorder.ring != nullptr) munmap(recorder.ring, sizeof(FlightEntry) * recorder.capacity);
  const long long wall_offset_for_testing = recorder.wall_offset_for_testing;
  std::memset(&recorder, 0, sizeof recorder);
  recorder.log_fd = -1;
  recorder.events_fd = -1;
  recorder.wall_offset_for_testing = wall_offset_for_testing;
}

void RecordFrames(const HalReceived* frames, int count) {
  if (recorder.capacity == 0) return;
  timespec now = {0, 0};
  for (int i = 0; i < count; ++i) {
    const HalReceived& frame = frames[i];
    timespec stamp = frame.stamp;
    if (stamp.tv_sec == 0 && stamp.tv_nsec == 0) {
      if (now.tv_sec == 0) clock_gettime(CLOCK_REALTIME, &now);
      stamp = now;
    }
    FlightEntry& entry = NextEntry();
    entry.seconds = static_cast<uint32_t>(stamp.tv_sec);
    entry.nanoseconds = static_cast<uint32_t>(stamp.tv_nsec);
    entry.id = frame.frame.id;
    entry.kind = kEntryFrame;
    if ((frame.flags & kHalFrameOwn) != 0) entry.kind |= kEntryOwn;
    if ((frame.flags & kHalFrameStandard) != 0) entry.kind |= kEntryStandard;
    if ((frame.flags & kHalFrameError) != 0) entry.kind |= kEntryError;
    entry.length = std::min<uint8_t>(frame.frame.length, sizeof entry.data);
    std::memcpy(entry.data, frame.frame.data, sizeof entry.data);
  }
}

void RecordEvent(FlightEvent event, int32_t value, int32_t detail, timespec when) {
  if (recorder.capacity == 0) return;
  FlightEntry& entry = NextEntry();
  entry.seconds = static_cast<uint32_t>(when.tv_sec);
  entry.nanoseconds = static_cast<uint32_t>(when.tv_nsec);
  entry.id = event;
  entry.kind = kEntryEvent;
  entry.length = 0;
  std::memcpy(&entry.data[0], &value, sizeof value);
  std::memcpy(&entry.data[4], &detail, sizeof detail);
}

uint32_t BeginFlightWindow(timespec key_down) {
  if (recorder.capacity == 0) return 0;
  // Into the window not yet being written, else after it.
  Window& window = recorder.windows[recorder.writing ? 1 : 0];
  if (!window.used) window.from = TimespecNanoseconds(key_down) - kMarginNanoseconds;
  window.used = true;
  window.ended = false;
  window.wall_offset = WallOffset();
  if (!recorder.writing) return recorder.number;
  return recorder.number < kMostNumber ? recorder.number + 1 : 1;
}

void EndFlightWindow(timespec ended) {
  Window& window = recorder.windows[recorder.windows[1].used ? 1 : 0];
  if (!window.used) return;
  window.ended = true;
  window.to = TimespecNanoseconds(ended) + kMarginNanoseconds;
  window.wall_offset = WallOffset();
}

bool FlightPieceDue(timespec* due) {
  const Window& window = recorder.windows[0];
  if (!window.used || !window.ended) return false;
  *due = NanosecondsToTimespec(window.to);
  return true;
}

FlightWrite WriteFlightPiece(timespec now, int most_lines) {
  const Window window = recorder.windows[0];
  if (!window.used) return {FlightIdle, recorder.number, false, 0};
  if (!recorder.writing) {
    if (!window.ended || TimespecNanoseconds(now) < window.to) return {FlightWaiting, recorder.number, false, 0};
    if (!OpenFlight()) return Failed();
    BeginWriting();
  }

  const int lines_allowed = std::max(most_lines, 1);
  int lines = 0;
  for (int examined = 0; recorder.read < recorder.stop && lines < lines_allowed &&
                         examined < lines_allowed * kExaminedPerLine;
       ++examined) {
    if (recorder.head - recorder.read > recorder.capacity) {
      recorder.overwritten = true;
      recorder.read = recorder.head - recorder.capacity;
    }
    const FlightEntry& entry = recorder.ring[recorder.read & (recorder.capacity - 1)];
    recorder.read += 1;
    const long long time = MonotonicTimeOf(entry, window);
    if (time < window.from || time > window.to) continue;
    if (!WriteEntry(entry, window)) return Failed();
    lines += 1;
  }
  if (recorder.read < recorder.stop) return {FlightWriting, recorder.number, false, 0};

  if (!FinishFlight(window)) return Failed();
  const FlightWrite written = {FlightWritten, recorder.number, !recorder.overwritten && !recorder.cut, 0};
  recorder.number = recorder.number < kMostNumber ? recorder.number + 1 : 1;
  NextWindow();
  return written;
}

bool FindFlightLog(const char* folder, int nth_last, char* path, size_t size) {
  static uint32_t numbers[kMostFoundFlights];
  const int count = FindFlights(folder, numbers, kMostFoundFlights);
  if (nth_last < 1 || nth_last > count) return false;
  const int written = std::snprintf(path, size, "%s/%0*" PRIu32 "%s", folder, kNumberDigits,
                                    numbers[count - nth_last], kLogSuffix);
  return written > 0 && static_cast<size_t>(written) < size;
}

void SetFlightWallOffsetForTesting(long long nanoseconds) { recorder.wall_offset_for_testing = nanoseconds; }
