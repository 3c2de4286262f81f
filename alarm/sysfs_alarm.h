// The alarm outputs the kernel offers as sysfs attribute files: a buzzer set
// by frequency and volume, a buzzer set by duty and period, and one GPIO line.
// Each driver is given its device (a buzzer's folder, null for the unit's
// own; a GPIO line's number), blocks for the whole pattern and leaves the
// output off when it returns, also when told to stop early (alarm_child.h).
// The drivers write only to attribute files that exist: they never create one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "alarm/alarm.h"

// Writes each step's frequency to DIR/freq ("0" for a silence), with the
// volume DIR/volume at "10000" from the first step on and "0" at the end.
// DIR is directory, the unit's buzzer device when null. Returns at once,
// after a line on standard error, when a file cannot be opened; a file that
// refuses a value gets one line on standard error and the pattern goes on.
void PlayBuzzerPattern(const char* directory, const AlarmStep* pattern, int32_t step_count);

// Writes "100" to DIR/duty_ns and DIR/period_ns for each tone step and "0"
// for each silence and at the end. DIR and failures as for PlayBuzzerPattern.
void PlayDualBuzzerPattern(const char* directory, const AlarmStep* pattern, int32_t step_count);

// Sets the value of the exported GPIO line number: "1" for a tone step, "0"
// for a silence and at the end.
void PlayGpioPattern(int number, const AlarmStep* pattern, int32_t step_count);

// Where the drivers find their files, for the check at start-up.
inline constexpr char kDefaultBuzzerDirectory[] = "/sys/class/buzzer/pwm-buzzer.0";
inline constexpr const char* kBuzzerFiles[] = {"freq", "volume"};
inline constexpr const char* kDualBuzzerFiles[] = {"duty_ns", "period_ns"};

inline constexpr size_t kBuzzerPathSize = 512;
inline constexpr size_t kGpioPathSize = 32;

// Puts DIRECTORY/name into path, the default buzzer directory when directory
// is null. False when the path does not fit and was cut.
bool FormatBuzzerPath(char (&path)[kBuzzerPathSize], const char* directory, const char* name);

// Puts the value file of GPIO line number into path. False when the path
// does not fit and was cut.
bool FormatGpioPath(char (&path)[kGpioPathSize], int number);

// The largest GPIO number whose value file's path fits: 5 digits.
inline constexpr int kLargestGpioNumber = 99999;

// The GPIO line numbered by text (null reads as 0), as atoi reads it:
// blanks, a sign, digits up to the first other character, no digits read as
// 0; beyond int, held at int's limit instead of atoi's undefined result.
// *whole tells whether text is digits only, from 0 to kLargestGpioNumber:
// the only numbers the check at start-up lets through.
int ReadGpioNumber(const char* text, bool* whole);
