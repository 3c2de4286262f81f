#include "client/check_alarm.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alarm/output_check.h"
#include "alarm/speaker_alarm.h"
#include "alarm/sysfs_alarm.h"
#include "client/check_report.h"
#include "client/check_wait.h"
#include "common/monotonic_time.h"

namespace {

// Beyond the pattern's own 750 ms the alarm child ends itself within its
// margin (alarm_child.h); this bounds the wait should it not.
constexpr long long kSoundWaitMicroseconds = 6 * kMicrosecondsPerSecond;

// The service finds no user's sound configuration (its home is out of
// reach) and is given no ALSA variables: the tone plays where the service's
// would, not where root's own configuration sends it.
void TakeTheServicesSoundConfiguration() {
  for (bool found = true; found;) {
    found = false;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "ALSA_", 5) != 0) continue;
      char name[128];
      std::snprintf(name, sizeof name, "%.*s", static_cast<int>(std::strcspn(*entry, "=")), *entry);
      (void)unsetenv(name);
      found = true;
      break;
    }
  }
  (void)unsetenv("XDG_CONFIG_HOME");
  (void)setenv("HOME", "/nonexistent", 1);
}

// Each report says whether the output passed.
bool ReportSpeaker() {
  switch (FindSpeakerVolume()) {
    case SpeakerVolumeReady:
      ReportCheck(true, "alarm speaker: ALSA's default device, with the \"DAC\" volume the alarm turns up");
      break;
    case SpeakerVolumeMissing:
      ReportCheck(true, "alarm speaker: ALSA's default device, without a \"DAC\" volume: it plays at the "
                  "device's own volume");
      break;
    case SpeakerMixerMissing:
      ReportCheck(false, "alarm speaker: ALSA's default device does not open: no sound card? The alarm would be "
                  "silent");
      return false;
  }
  return true;
}

bool ReportFiles(const AlarmOutput& output) {
  const char* name = AlarmTypeName(output.type);
  AlarmOutputReport report;
  switch (InspectAlarmOutput(output, true, &report)) {
    case AlarmOutputReady:
      if (output.type == AlarmGpio) {
        ReportCheck(true, "alarm gpio %s: %s opens for writing", output.options, report.path);
      } else {
        const char* const* files = output.type == AlarmBuzzer ? kBuzzerFiles : kDualBuzzerFiles;
        ReportCheck(true, "alarm %s %s: %s and %s open for writing", name, report.path, files[0], files[1]);
      }
      break;
    case AlarmOutputUnusable:
      ReportCheck(false, "alarm %s: %s", name, report.reason);
      return false;
    case AlarmOutputMissing:
      ReportCheck(false, "alarm %s: %s does not exist, so the alarm would be silent: %s", name, report.path,
                  output.type == AlarmGpio ? "export the line as an output at boot"
                                    : "give -o the buzzer device's folder in /sys");
      return false;
    case AlarmOutputNotWritable:
      ReportCheck(false, "alarm %s: %s does not open for writing (%s%s), so the alarm would be silent", name,
                  report.path, std::strerror(report.error), RootHint(report.error));
      return false;
  }
  return true;
}

// The all-clear pattern through the guard's own entry, in a child of its
// own; what the child says comes back through a pipe in place of standard
// error, and its end (the pipe's) ends the wait.
void PlayAllClear(const AlarmOutput& output) {
  const char* name = AlarmTypeName(output.type);
  int pipe_fds[2];
  std::fflush(stderr);
  const int saved_error = dup(STDERR_FILENO);
  if (saved_error < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0) {
    ReportCheck(false, "sound: %s", std::strerror(errno));
    if (saved_error >= 0) close(saved_error);
    return;
  }
  (void)dup2(pipe_fds[1], STDERR_FILENO);
  close(pipe_fds[1]);
  SetAlarmOutput(output);
  SoundAlarm(kClearedPattern, kClearedPatternSteps);
  (void)dup2(saved_error, STDERR_FILENO);
  close(saved_error);

  char said[512] = "";
  size_t used = 0;
  const timespec deadline = AddMicroseconds(MonotonicNow(), kSoundWaitMicroseconds);
  bool ended = false;
  while (!ended && WaitReadable(pipe_fds[0], deadline) > 0) {
    const ssize_t got = read(pipe_fds[0], said + used, sizeof said - 1 - used);
    if (got < 0 && errno == EINTR) continue;
    ended = got <= 0 || used + static_cast<size_t>(got) >= sizeof said - 1;
    if (got > 0) used += static_cast<size_t>(got);
  }
  close(pipe_fds[0]);
  said[used] = '\0';
  said[std::strcspn(said, "\n")] = '\0';
  if (said[0] != '\0') {
    ReportCheck(false, "sound: the all-clear beep on the %s failed: %s", name, said);
  } else if (!ended) {
    ReportCheck(false, "sound: the %s did not finish the all-clear beep within %lld s", name,
                kSoundWaitMicroseconds / kMicrosecondsPerSecond);
  } else {
    ReportCheck(true, "sound: the all-clear beep (%u ms) played on the %s: listen for one long beep",
                kClearedPattern[0].duration_ms, name);
  }
}

}  // namespace

void CheckAlarm(const AlarmOutput& output, bool sound) {
  TakeTheServicesSoundConfiguration();
  if (output.type == AlarmNone) {
    ReportCheck(false, "alarm: none, so an unconfirmed press would command standby in silence: give the guard "
                "-t");
    if (sound) ReportCheck(false, "sound: no alarm output to play on");
    return;
  }
  const bool usable = output.type == AlarmSpeaker ? ReportSpeaker() : ReportFiles(output);
  if (!sound) return;
  // An output that failed its check is not played on: "7x" would play GPIO
  // line 7, which the guard would never drive.
  if (usable) {
    PlayAllClear(output);
  } else {
    ReportCheck(false, "sound: not played, as the alarm output failed its check");
  }
}
