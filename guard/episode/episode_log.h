// Where the guard's episode records go: one line on standard error (or, when
// standard error is the journal, a native journal entry with the record's
// fields, so that it can be selected by its MESSAGE_ID), the file of the
// last records beside the control socket for `helmwatch-ctl history`, and
// the status line's short field. Nothing here waits: a record that cannot be
// written at once is lost.
#pragma once

#include <cstdint>

#include "alarm/alarm.h"
#include "guard/episode/episode_record.h"

// Records kept in "<socket>.history", oldest first.
inline constexpr int kHistoryRecords = 20;

// At start-up: the history file is "<socket_path>.history" (none when
// socket_path is null, or when its folder is not on a memory file system),
// and the records already in it are kept; the journal is used when
// JOURNAL_STREAM names standard error.
void StartEpisodeLog(const char* socket_path, AlarmType alarm);

// Says once per episode, at the moment it happens, why a command could not
// go on the bus.
void TellCommandTrouble(EpisodeRecord* record);

// Writes the record of an episode that has ended.
void RecordEpisode(const EpisodeRecord& record);

// Episodes recorded since start, and the latest one's short field for the
// status line ("" before the first).
uint32_t EpisodesRecorded();
const char* LastEpisodeSummary();
