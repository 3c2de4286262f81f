// The lines that tell each loss and each return of what the guard depends
// on (the keypad, the CAN link, the autopilot's status), kept from running
// without limit when one of them flaps (a loose connector: can0 bus-off and
// back every second for hours): a few lines a minute for each, the rest
// condensed into one line with their count.
#pragma once

#include <time.h>

#include <cstdint>

enum ChangeSubject : int32_t {
  ChangeKeypad = 0,
  ChangeCanLink = 1,
  ChangeAutopilot = 2,
  kChangeSubjects = 3,
};

// Lines written for one subject within a window before the rest are held.
inline constexpr uint32_t kChangeLinesPerWindow = 4;
inline constexpr long kChangeWindowSeconds = 60;

// Tells a change of subject seen at now (CLOCK_MONOTONIC): the line, given
// without its newline, is written at once while the subject's window has
// room for it; otherwise it is held, the latest held line replacing the one
// before it.
[[gnu::format(printf, 3, 4)]] void LogChange(ChangeSubject subject, timespec now, const char* format,
                                             ...);

// Writes, for each subject whose window has ended with lines held, the
// latest of them with the number of changes not shown, and starts its next
// window. Costs a few comparisons when nothing is held.
void FlushHeldChanges(timespec now);

// True while some line is held: its window's end must be noticed.
bool ChangesHeld();

// Forgets every window and held line, as at start-up.
void ResetChangeLines();
