// The guard loop's pass as it was before its decisions were taken apart
// from its I/O, with its own short-press detector memory and standby flag:
// the guard loop fuzz target runs it beside the present pass on the same
// events, each on descriptors of its own, and checks that the two agree.
// Its neighbours that record or say something are the target's own (the
// Old* functions below), so the two passes' calls and lines are told apart.
#pragma once

#include <sys/select.h>
#include <time.h>

#include <cstdint>

#include "alarm/alarm.h"
#include "can/autopilot.h"
#include "guard/episode_record.h"
#include "guard/guard_decision.h"

namespace old_guard {

struct GuardLoop {
  GuardState state;
  timespec deadline;
  int timeout_armed;
  int32_t retry_count;
  uint8_t last_control_byte;
  timespec byte_read_at;
  uint32_t echoes_due;
  int client_fd;
  int listen_fd;
  int key_fd;
  EpisodeRecord episode;
  bool episode_ended;
  int can_fd;
};

struct ShortPressDetector {
  timespec press_time;
  timespec down_time;
  bool stamps_monotonic;
};

// The old key input's memory (key_input.cpp's static) and the old CAN
// layer's standby flag (autopilot.cpp's), for comparison.
extern ShortPressDetector key_device_detector;
extern int ap_standby;

GuardLoop NewGuardLoop(int key_fd, int can_socket_fd, int listen_fd);
int FillGuardSelectSet(const GuardLoop* loop, fd_set* read_set);
void RunGuardPass(GuardLoop* loop, int select_result, const fd_set* ready, const timespec* now);
void SetKeyStampsMonotonic(bool monotonic);
void ResetKeyInput();

// The target's.
int OldDrainCanInput();
ApCommandResult OldSendApStandby();
bool OldSoundAlarm(const AlarmStep* pattern, int32_t step_count);
void OldTellCommandTrouble(EpisodeRecord* record);
void OldRecordEpisode(const EpisodeRecord& record);
[[gnu::format(printf, 1, 2)]] void OldLogLine(const char* format, ...);

}  // namespace old_guard
