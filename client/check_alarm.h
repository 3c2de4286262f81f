// The alarm output as helmwatch-ctl check sees it: the start-up check the
// guard makes, and that each file opens for writing; when asked, the
// all-clear beep played once through it by the guard's own driver.
#pragma once

#include "alarm/alarm.h"

// Reports the output; with sound, then plays the all-clear pattern on it.
void CheckAlarm(const AlarmOutput& output, bool sound);
