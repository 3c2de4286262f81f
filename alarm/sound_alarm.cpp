#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "alarm/alarm.h"
#include "alarm/alarm_child.h"
#include "alarm/speaker_alarm.h"
#include "alarm/sysfs_alarm.h"
#include "common/log_line.h"

namespace {

constexpr int kSpeakerVolumePercent = 100;

// Set once at start-up, read in every alarm child.
struct AlarmOutput {
  AlarmType type;
  const char* options;
};
AlarmOutput alarm_output = {AlarmNone, nullptr};

void PlayOnConfiguredOutput(const AlarmStep* pattern, int32_t step_count) {
  switch (alarm_output.type) {
    case AlarmBuzzer:
      PlayBuzzerPattern(alarm_output.options, pattern, step_count);
      break;
    case AlarmDualBuzzer:
      PlayDualBuzzerPattern(alarm_output.options, pattern, step_count);
      break;
    case AlarmGpio:
      PlayGpioPattern(alarm_output.options, pattern, step_count);
      break;
    case AlarmSpeaker:
      // Every alarm at full volume, whatever the volume was turned down to
      // since the last one; a mixer without the element still plays.
      SetSpeakerVolume(kSpeakerVolumePercent);
      PlayTonePattern(pattern, step_count);
      break;
    default:
      std::fputs("Unknown alarm type, cannot sound the alarm!\n", stderr);
      break;
  }
}

}  // namespace

void SetAlarmOutput(AlarmType type, const char* options) { alarm_output = {type, options}; }

void SoundAlarm(const AlarmStep* pattern, int32_t step_count) {
  if (alarm_output.type == AlarmNone) return;

  // The system reaps finished children: the guard never waits for one. Set
  // before the fork, so that a child that ends at once is reaped as well.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = 0;
  sigaction(SIGCHLD, &ignore, nullptr);

  // The child's closing flush must send only what the child itself printed.
  std::fflush(stdout);
  const pid_t guard = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    // The guard goes on without this alarm: its standby commands matter more.
    LogCallFailure("fork()");
    return;
  }
  if (pid > 0) return;

  PrepareAlarmChild(guard, pattern, step_count);
  PlayOnConfiguredOutput(pattern, step_count);
  // The child is a copy of the daemon: exit() would run the daemon's exit
  // handlers and flush its copies of the daemon's stdio buffers a second
  // time, so the child sends only its own output and leaves by _exit.
  std::fflush(stdout);
  _exit(0);
}
