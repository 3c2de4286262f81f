#include "guard/supervision/status_changes.h"

#include "can/autopilot.h"
#include "can/can_hal.h"
#include "guard/supervision/change_lines.h"

void ReportStatusChanges(const StatusFacts& before, const StatusFacts& after, const char* can_interface,
                         timespec now) {
  const char* can = can_interface;
  if (before.link != after.link) {
    switch (after.link) {
      case HalLinkUp:
        LogChange(ChangeCanLink, now, "CAN bus %s is up again", can);
        break;
      case HalLinkDown:
        LogChange(ChangeCanLink, now, "CAN interface %s is down", can);
        break;
      case HalLinkBusOff:
        LogChange(ChangeCanLink, now, "CAN controller %s is bus-off", can);
        break;
      default:
        LogChange(ChangeCanLink, now, "CAN bus %s has no socket", can);
        break;
    }
  }
  const bool was_silent = before.autopilot_heard == ApSilent;
  const bool silent = after.autopilot_heard == ApSilent;
  if (silent && !was_silent) {
    LogChange(ChangeAutopilot, now, "No autopilot status heard for %ld s", kAutopilotSilenceSeconds);
  } else if (was_silent && !silent) {
    LogChange(ChangeAutopilot, now, "Autopilot status heard again");
  }
}
