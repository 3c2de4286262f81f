// Alarm control: the alarm outputs, the two beep patterns and the entry
// through which the guard sounds them.
#pragma once

#include <cstdint>

enum AlarmType : int32_t {
  AlarmNone = 0,
  AlarmBuzzer = 1,
  AlarmDualBuzzer = 2,
  AlarmGpio = 3,
  AlarmSpeaker = 4,
};

// One step of a pattern: the output is set at the start of the step and held
// for its duration. A frequency of 0 is a silence.
struct AlarmStep {
  uint32_t frequency_hz;
  uint32_t duration_ms;
};

// Six short beeps with gaps, then one long beep: 3750 ms in all.
inline constexpr int kWarningPatternSteps = 13;
extern const AlarmStep kWarningPattern[kWarningPatternSteps];

// One long beep: the autopilot has reported standby.
inline constexpr int kClearedPatternSteps = 1;
extern const AlarmStep kClearedPattern[kClearedPatternSteps];

// The AlarmType named by the -t argument; AlarmNone for any other text.
// Names match exactly, case included.
AlarmType ParseAlarmType(const char* name);

// The -t name of type; "none" for AlarmNone.
const char* AlarmTypeName(AlarmType type);

// The output the alarms play on, as start-up reads it once from -t and -o
// (output_check.h).
struct AlarmOutput {
  AlarmType type;
  const char* options;     // the -o argument, null when not given
  int gpio_number;         // options read as a GPIO line's number (sysfs_alarm.h)
  bool gpio_number_whole;  // options is a whole number the line's path has room for
};

// Where the alarms play: start-up hands over its output before the first
// alarm. Until then the type is AlarmNone.
void SetAlarmOutput(const AlarmOutput& output);

// Plays the first step_count steps of pattern on the output SetAlarmOutput
// named and returns at once: the pattern plays in a child process of
// its own, which ends by itself (see alarm_child.h). A new alarm replaces
// the one still playing: the earlier child is told to stop, switches its
// output off and is gone before the new one touches the output (or, when it
// hangs on the output, after a short wait, see alarm_child.h). The guard
// waits for neither. Returns true when an alarm still playing was stopped
// for this one. From the first alarm on SIGCHLD is ignored, so no finished
// child is left to reap. Does nothing for AlarmNone; a fork that fails is
// reported ("fork(): ...") and this alarm is left out, one still playing
// plays on.
bool SoundAlarm(const AlarmStep* pattern, int32_t step_count);
