#include "guard/tests/recording_neighbours.h"

#include <unistd.h>

#include <cstdio>

#include "alarm/alarm.h"
#include "can/autopilot.h"
#include "can/can_hal.h"

std::vector<std::string> neighbour_calls;
int neighbour_ap_standby = 0;
int can_fd = -1;

void ResetNeighbours() {
  neighbour_calls.clear();
  neighbour_ap_standby = 0;
  can_fd = -1;
}

int DrainCanInput() {
  neighbour_calls.push_back("drain");
  // Empty whatever stands for the CAN queue so the next select sleeps again.
  if (can_fd >= 0) {
    char frames[256];
    while (read(can_fd, frames, sizeof frames) == static_cast<ssize_t>(sizeof frames)) {
    }
  }
  return -2;
}

int IsApStandby() {
  neighbour_calls.push_back("standby?");
  return neighbour_ap_standby;
}

void SendApStandby() { neighbour_calls.push_back("standby"); }

void SoundAlarm(const AlarmStep* pattern, int32_t step_count) {
  const char* name = pattern == kWarningPattern   ? "warning"
                     : pattern == kClearedPattern ? "cleared"
                                                  : "other";
  char call[32];
  std::snprintf(call, sizeof call, "%s %d", name, static_cast<int>(step_count));
  neighbour_calls.push_back(call);
}
