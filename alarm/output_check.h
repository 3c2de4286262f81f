// The alarm output as start-up reads it from -t and -o, and its check, so
// that a wrong -o shows before the first alarm rather than in it;
// helmwatch-ctl check makes the same one.
#pragma once

#include <cstdint>

#include "alarm/alarm.h"
#include "alarm/sysfs_alarm.h"

// The output of type with its -o argument options (null when not given),
// which must live as long as the process: the one place where the GPIO
// number is read, whatever the type.
AlarmOutput ReadAlarmOutput(AlarmType type, const char* options);

// Checks the -o argument of output. Returns non-zero, after a line on
// standard error, when the argument can never work: a GPIO number that is
// not a whole number from 0 to kLargestGpioNumber, or a buzzer directory too
// long for the paths of its files; the caller then ends with status 1. Returns 0 otherwise, after one
// warning line when a file the output writes does not exist (yet): the guard
// runs without it.
int CheckAlarmOutput(const AlarmOutput& output);

enum AlarmOutputFinding : int32_t {
  AlarmOutputReady = 0,        // every file the output writes is there
  AlarmOutputUnusable = 1,     // the -o argument can never work
  AlarmOutputMissing = 2,      // a file or its folder does not exist (yet)
  AlarmOutputNotWritable = 3,  // a file does not open for writing
};

struct AlarmOutputReport {
  AlarmOutputFinding finding;
  int error;                   // errno of the open that failed, else 0
  char path[kBuzzerPathSize];  // the file or folder found missing or not
                               // writable; when ready, the buzzer's folder
                               // or the GPIO line's value file
  char reason[160];            // why the argument can never work
};

// The check above, told rather than printed; with try_writing, each file is
// also opened for writing and closed at once, which writes nothing. The
// speaker and AlarmNone have no files: ready.
AlarmOutputFinding InspectAlarmOutput(const AlarmOutput& output, bool try_writing, AlarmOutputReport* report);
