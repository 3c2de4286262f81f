// What the guard did with one press, from the key's release to its return to
// idle: kept by the loop as the episode runs, and written out as one record
// when it ends, for the people who look into an incident afterwards.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "alarm/alarm.h"
#include "can/autopilot.h"
#include "can/can_hal.h"
#include "guard/decision/guard_decision.h"

// Why a standby command could not go on the bus.
enum CommandTrouble : int32_t {
  TroubleNone = 0,
  TroubleNoAutopilot = 1,  // the autopilot's address is not learnt
  TroubleNoSource = 2,     // the command source address is not learnt
  TroubleCanDown = 3,
  TroubleBusOff = 4,
  TroubleNoSocket = 5,
  TroubleRefused = 6,      // the CAN socket refused a frame; trouble_error tells why
  TroubleNotOnBus = 7,     // written, but its last frame never came back from the bus
};

struct EpisodeRecord {
  EpisodeEnd end;
  timespec released;       // CLOCK_MONOTONIC, the key-up's moment (its own stamp)
  timespec released_read;  // when the guard read the key-up
  timespec released_wall;  // the key-up's moment on the wall clock
  timespec went_down;      // CLOCK_MONOTONIC, when the press's first key went down
  timespec ended;          // CLOCK_MONOTONIC; for a confirmation, when the 2 was read
  timespec first_command;  // when the first command went to the controller
  bool first_command_known;
  int32_t commands_sent;   // commands that reached the bus
  bool command_on_way;     // one written whole, not yet seen on the bus
  uint8_t on_way_sequence;
  int32_t commands_not_sent;
  CommandTrouble trouble;  // the first reason a command could not go
  int trouble_error;
  bool trouble_told;  // the line saying so has been written
  bool warning_started;
  bool warning_cut_short;  // by the all-clear
  uint32_t flight;         // the flight that keeps the bus around it; 0: none
};

// A new episode: a short press released at released and read at read_at;
// now (CLOCK_MONOTONIC) is when the wall clock is read.
void BeginEpisode(EpisodeRecord* record, timespec released, timespec read_at, timespec now);

// One standby command due now and what became of it; link is the CAN link's
// state, asked only when the command did not go.
void NoteStandbyCommand(EpisodeRecord* record, const ApCommandResult& result, HalLinkState link,
                        timespec now);

// A command written whole to the controller at now, its fast-packet
// sequence number given: it counts as sent once its last frame comes back
// from the bus. Written while the link is not up, it is not sent.
void NoteCommandWritten(EpisodeRecord* record, uint8_t sequence, HalLinkState link, timespec now);

// The last frame of a command of the guard's came back from the bus.
void NoteCommandOnBus(EpisodeRecord* record, uint8_t sequence);

// The command on its way is judged, before the next or at the end: not
// seen on the bus, it was not sent, for the link's reason.
void SettleCommand(EpisodeRecord* record, HalLinkState link);

void EndEpisode(EpisodeRecord* record, EpisodeEnd end, timespec now);

// The record as one line of plain words, without newline; alarm is the
// configured output (none: no warning could sound). Returns its length.
size_t FormatEpisodeLine(const EpisodeRecord& record, AlarmType alarm, char* out, size_t size);

// What is said the moment a command cannot go on the bus.
size_t FormatTroubleLine(const EpisodeRecord& record, char* out, size_t size);

// The status line's short field: "last press 14:32:07 standby after 2 commands".
size_t FormatEpisodeSummary(const EpisodeRecord& record, char* out, size_t size);

// The record's structured fields for the journal, one "NAME=value\n" each,
// after the message itself (its line).
size_t FormatJournalFields(const EpisodeRecord& record, AlarmType alarm, const char* message,
                           char* out, size_t size);

// Every episode record's MESSAGE_ID in the journal.
inline constexpr char kEpisodeMessageId[] = "7f9a6f7f0b34461c927c67af9dbd9c1d";
