// The built-in patterns and the alarm type names.
#include "alarm/alarm.h"

#include <cstring>

namespace {

constexpr uint32_t kAlarmToneHz = 2900;
constexpr uint32_t kShortBeepMs = 250;
constexpr uint32_t kLongBeepMs = 750;

struct AlarmTypeEntry {
  const char* name;
  AlarmType type;
};

constexpr AlarmTypeEntry kAlarmTypeNames[] = {
    {"buzzer", AlarmBuzzer},
    {"dualbuzzer", AlarmDualBuzzer},
    {"gpio", AlarmGpio},
    {"speaker", AlarmSpeaker},
};

}  // namespace

const AlarmStep kWarningPattern[kWarningPatternSteps] = {
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kShortBeepMs}, {0, kShortBeepMs},
    {kAlarmToneHz, kLongBeepMs},
};

const AlarmStep kClearedPattern[kClearedPatternSteps] = {
    {kAlarmToneHz, kLongBeepMs},
};

AlarmType ParseAlarmType(const char* name) {
  for (const AlarmTypeEntry& entry : kAlarmTypeNames) {
    // The comparison takes in the terminator, so "buzzer2" is no "buzzer".
    if (std::strcmp(name, entry.name) == 0) return entry.type;
  }
  return AlarmNone;
}

const char* AlarmTypeName(AlarmType type) {
  for (const AlarmTypeEntry& entry : kAlarmTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return "none";
}
