// The report of helmwatch-ctl check: one line per check, "ok" or "FAIL"
// first, then what was found in plain words; lines that say more about the
// check above them leave that column blank. Each line goes out at once, so
// the installer sees a long check (the bus, a press) under way.
#pragma once

// Prints a check's line and counts a failure.
[[gnu::format(printf, 2, 3)]] void ReportCheck(bool ok, const char* format, ...);

// Prints a line under the check above.
[[gnu::format(printf, 1, 2)]] void ReportDetail(const char* format, ...);

// Checks failed so far.
int FailedChecks();

// What to add to a failure's words when error is a refusal that root would
// not have met: "; run helmwatch-ctl check as root", else "".
const char* RootHint(int error);
