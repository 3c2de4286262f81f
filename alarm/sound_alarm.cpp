#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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
AlarmOutput alarm_output = {AlarmNone, nullptr, 0, false};

// The guard's end of the link to the child it started last (alarm_child.h),
// -1 before the first: the one child the guard remembers. Its end of file
// means that child is gone.
int last_child_link = -1;

bool StillThere(int link) {
  pollfd gone = {link, POLLIN, 0};
  return poll(&gone, 1, 0) == 0;
}

void CloseLink(int link) {
  if (link >= 0) close(link);
}

void PlayOnConfiguredOutput(const AlarmStep* pattern, int32_t step_count) {
  switch (alarm_output.type) {
    case AlarmBuzzer:
      PlayBuzzerPattern(alarm_output.options, pattern, step_count);
      break;
    case AlarmDualBuzzer:
      PlayDualBuzzerPattern(alarm_output.options, pattern, step_count);
      break;
    case AlarmGpio:
      // Start-up refuses a GPIO line without -o; this is for any other caller.
      if (alarm_output.options == nullptr) {
        std::fputs("No GPIO number specified\n", stderr);
        break;
      }
      PlayGpioPattern(alarm_output.gpio_number, pattern, step_count);
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

void SetAlarmOutput(const AlarmOutput& output) { alarm_output = output; }

bool SoundAlarm(const AlarmStep* pattern, int32_t step_count) {
  if (alarm_output.type == AlarmNone) return false;

  // The system reaps finished children: the guard never waits for one. Set
  // before the fork, so that a child that ends at once is reaped as well.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = 0;
  sigaction(SIGCHLD, &ignore, nullptr);

  // Without a link the alarm still plays; only a later one cannot cut it short.
  int link[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) {
    LogCallFailure("socketpair()");
    link[0] = link[1] = -1;
  }

  // The child's closing flush must send only what the child itself printed.
  std::fflush(stdout);
  const pid_t guard = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    // The guard goes on without this alarm: its standby commands matter
    // more. One still playing plays on.
    LogCallFailure("fork()");
    CloseLink(link[0]);
    CloseLink(link[1]);
    return false;
  }
  if (pid == 0) {
    PrepareAlarmChild(guard, pattern, step_count, link[1], last_child_link);
    PlayOnConfiguredOutput(pattern, step_count);
    // The child is a copy of the daemon: exit() would run the daemon's exit
    // handlers and flush its copies of the daemon's stdio buffers a second
    // time, so the child sends only its own output and leaves by _exit.
    std::fflush(stdout);
    // As specified, 0 whatever the driver met: no one reads the status, the driver's own line tells.
    _exit(0);
  }

  // The new child holds a copy of the earlier child's link, to wait for that
  // child's end. A shutdown acts on the socket, not on one descriptor: it
  // reaches the earlier child all the same.
  CloseLink(link[1]);
  bool cut_short = false;
  if (last_child_link >= 0) {
    cut_short = StillThere(last_child_link);
    shutdown(last_child_link, SHUT_WR);
    close(last_child_link);
  }
  last_child_link = link[0];
  return cut_short;
}
