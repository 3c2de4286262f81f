// First SoundAlarm: no alarm output is driven yet, so every type behaves as
// alarm type none and no child process is created. The guard's timing and
// its standby commands do not depend on the alarm.
#include "alarm/alarm.h"

void SoundAlarm(const AlarmStep* /*pattern*/, int32_t /*step_count*/) {}
