// The alarm output's check at start-up, so that a wrong -o shows before the
// first alarm rather than in it.
#pragma once

#include "alarm/alarm.h"

// Checks the -o argument options (null when not given) for an output of
// type. Returns non-zero, after a line on standard error, when the argument
// can never work: a GPIO number that is not a whole number from 0 to
// kLargestGpioNumber, or a buzzer directory too long for the paths of its
// files; the caller then ends with status 1. Returns 0 otherwise, after one
// warning line when a file the output writes does not exist (yet): the guard
// runs without it.
int CheckAlarmOutput(AlarmType type, const char* options);
