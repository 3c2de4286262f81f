#include "guard/tests/recording_neighbours.h"

#include <unistd.h>

#include <cstdio>

#include "alarm/alarm.h"
#include "can/autopilot.h"
#include "can/can_hal.h"

std::vector<std::string> neighbour_calls;
int neighbour_ap_standby = 0;
int neighbour_link_state = HalLinkUp;
ApCommandResult neighbour_command_result = {ApCommandSent, kHalOk, 0};
int neighbour_can_fd = -1;
HalChannel hal_channels[kHalChannelCount] = {{0, -1, 0, "can0", 0, 0, 0, 0, 0, 0}};
uint8_t autopilot_address = kAddressNotLearnt;
uint8_t command_source_address = kAddressNotLearnt;
ApPresence neighbour_ap_presence = ApNeverHeard;
timespec neighbour_ap_last_heard = {0, 0};

void ResetNeighbours() {
  neighbour_calls.clear();
  neighbour_ap_standby = 0;
  neighbour_link_state = HalLinkUp;
  neighbour_command_result = {ApCommandSent, kHalOk, 0};
  autopilot_address = kAddressNotLearnt;
  command_source_address = kAddressNotLearnt;
  neighbour_can_fd = -1;
  neighbour_ap_presence = ApNeverHeard;
  neighbour_ap_last_heard = {0, 0};
}

ApPresence AutopilotPresence(timespec /*now*/, timespec* last_heard) {
  *last_heard = neighbour_ap_last_heard;
  return neighbour_ap_presence;
}

HalLinkState HalGetLinkState(int /*channel*/) { return static_cast<HalLinkState>(neighbour_link_state); }

int DrainCanInput(ApStatusReport* statuses, ApFrameSink /*sink*/) {
  neighbour_calls.push_back("drain");
  // Empty whatever stands for the CAN queue so the next select sleeps again.
  if (neighbour_can_fd >= 0) {
    char frames[256];
    while (read(neighbour_can_fd, frames, sizeof frames) == static_cast<ssize_t>(sizeof frames)) {
    }
  }
  statuses->count += 1;
  statuses->standby = neighbour_ap_standby != 0;
  return -2;
}

ApCommandResult BeginApStandby(ApStandbyCommand* command) {
  neighbour_calls.push_back("standby");
  *command = {1, 2, 0, neighbour_command_result.outcome == ApCommandSent ? uint8_t{0} : kApStandbyFrames};
  return neighbour_command_result;
}

ApCommandResult SendApStandbyFrame(ApStandbyCommand* command) {
  command->next_frame += 1;
  return {ApCommandSent, kHalOk, 0};
}

bool SoundAlarm(const AlarmStep* pattern, int32_t step_count) {
  const char* name = pattern == kWarningPattern   ? "warning"
                     : pattern == kClearedPattern ? "cleared"
                                                  : "other";
  char call[32];
  std::snprintf(call, sizeof call, "%s %d", name, static_cast<int>(step_count));
  neighbour_calls.push_back(call);
  return false;
}
