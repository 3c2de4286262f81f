#include "guard/supervision/status_line.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "can/autopilot.h"

namespace {

constexpr const char* kStateWords[] = {
    "guard idle",
    "guard awaiting confirmation",
    "guard sending standby",
    "guard alarming",
};

constexpr const char* kLinkWords[] = {"CAN up", "CAN down", "CAN bus-off", "no CAN socket"};

const char* StateWords(int32_t state) {
  return state >= 0 && state < static_cast<int32_t>(std::size(kStateWords)) ? kStateWords[state]
                                                                            : "guard in an unknown state";
}

}  // namespace

const char* StatusLinkWords(int32_t link) {
  return link >= 0 && link < static_cast<int32_t>(std::size(kLinkWords)) ? kLinkWords[link]
                                                                         : "CAN unknown";
}

void FormatStatusLine(const StatusFacts& facts, AlarmType alarm_type, time_t silent_since, char* line,
                      size_t size) {
  char autopilot[64];
  if (facts.autopilot == kAddressNotLearnt) {
    std::snprintf(autopilot, sizeof autopilot, "autopilot not heard");
  } else if (facts.autopilot_heard == ApSilent) {
    tm since = {};
    localtime_r(&silent_since, &since);
    char clock[16];
    if (std::strftime(clock, sizeof clock, "%H:%M:%S", &since) == 0) clock[0] = '\0';
    std::snprintf(autopilot, sizeof autopilot, "autopilot %d silent since %s",
                  static_cast<int>(facts.autopilot), clock);
  } else {
    std::snprintf(autopilot, sizeof autopilot, "autopilot %d", static_cast<int>(facts.autopilot));
  }
  char source[32];
  if (facts.command_source == kAddressNotLearnt) {
    std::snprintf(source, sizeof source, "no command source");
  } else {
    std::snprintf(source, sizeof source, "command source %d", static_cast<int>(facts.command_source));
  }
  const char* ui = facts.ui == StatusUiConnected ? "UI connected"
                   : facts.ui == StatusUiNone    ? "no UI"
                                                 : "no control socket";
  const bool last = facts.episodes > 0 && facts.last_episode != nullptr;
  std::snprintf(line, size, "%s; keypad %s; %s; %s, %s; %s; alarm %s%s%s", StateWords(facts.state),
                facts.keypad_present != 0 ? "present" : "gone", StatusLinkWords(facts.link), autopilot,
                source, ui, AlarmTypeName(alarm_type), last ? "; " : "", last ? facts.last_episode : "");
}
