// The alarm outputs the kernel offers as sysfs attribute files: a buzzer set
// by frequency and volume, a buzzer set by duty and period, and one GPIO line.
// Each driver reads its device from guard_config.alarm_options, blocks for
// the whole pattern and leaves the output off when it returns.
#pragma once

#include <cstdint>

#include "alarm/alarm.h"

// Writes each step's frequency to DIR/freq ("0" for a silence), with the
// volume DIR/volume at "10000" from the first step on and "0" at the end.
// DIR defaults to the unit's buzzer device. Returns at once, after a line on
// standard error, when a file cannot be opened.
void PlayBuzzerPattern(const AlarmStep* pattern, int32_t step_count);

// Writes "100" to DIR/duty_ns and DIR/period_ns for each tone step and "0"
// for each silence and at the end. DIR as for PlayBuzzerPattern.
void PlayDualBuzzerPattern(const AlarmStep* pattern, int32_t step_count);

// Sets the value of the exported GPIO line numbered by alarm_options: "1"
// for a tone step, "0" for a silence and at the end.
void PlayGpioPattern(const AlarmStep* pattern, int32_t step_count);
