// One line on standard error (the journal) for each loss and each return of
// the CAN link and the autopilot's status, condensed when one of them flaps;
// the keypad reports its own.
#pragma once

#include <time.h>

#include "guard/supervision/status_facts.h"

// Tells what changed from before to after, seen at now; can_interface names
// the link in the lines.
void ReportStatusChanges(const StatusFacts& before, const StatusFacts& after, const char* can_interface,
                         timespec now);
