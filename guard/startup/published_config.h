// The configuration a guard publishes beside its control socket, in
// "<socket>.config", so that helmwatch-ctl check and people can see what a
// running guard guards and how it sounds. Written once at start-up by the
// guard that owns the socket's path, whole under another name and renamed,
// readable by anyone; left behind when the guard ends, as the status file.
//
// One "name value" line each, the value being the rest of the line, with a
// backslash and a line break in it written as "\\" and "\n":
//   key-device /dev/input/helmwatch-keypad
//   key-device-resolved /dev/input/event2
//   alarm-type buzzer
//   alarm-options /sys/class/buzzer/pwm-buzzer.0
// alarm-type is "none" without -t; alarm-options is there only with -o, and
// key-device-resolved only when the path could be resolved. Lines beginning
// with "#" and names not known here are skipped when read.
#pragma once

#include <limits.h>

#include "alarm/alarm.h"

struct PublishedConfig {
  char key_device[PATH_MAX];           // as given on the command line
  char key_device_resolved[PATH_MAX];  // absolute, links followed; empty when not known
  AlarmType alarm_type;
  bool has_alarm_options;
  char alarm_options[PATH_MAX];  // the -o argument
};

// Writes "<socket_path>.config" for the guard's key device path as given,
// its alarm type and -o argument (null when not given). A failure is
// reported on standard error and removes an older file, which would tell of
// another guard; returns non-zero then.
int PublishConfig(const char* socket_path, const char* key_device, AlarmType alarm_type,
                  const char* alarm_options);

// Reads "<socket_path>.config" into *config. False when it cannot be read or
// names no key device.
bool ReadPublishedConfig(const char* socket_path, PublishedConfig* config);
