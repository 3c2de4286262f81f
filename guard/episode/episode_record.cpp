#include "guard/episode/episode_record.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/monotonic_time.h"

namespace {

struct TroubleWords {
  const char* line;   // for people
  const char* field;  // for the journal
};

constexpr TroubleWords kTroubleWords[] = {
    {"", ""},
    {"the autopilot's address is not known (no autopilot status heard)", "no-autopilot-address"},
    {"the command source address is not known (no kind-11 status heard since start)",
     "no-command-source"},
    {"CAN interface can0 is down", "can-down"},
    {"CAN controller can0 is bus-off", "bus-off"},
    {"there is no CAN socket (CAN failed to initialize)", "no-can-socket"},
    {"the CAN socket refused it", "refused"},
    {"it never came back from the bus: the controller did not send it", "not-on-bus"},
};

// Appends to a fixed buffer, cutting what does not fit.
struct Text {
  char* out;
  size_t size;
  size_t used;
};

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, each format checked against its arguments
[[gnu::format(printf, 2, 3)]] void Add(Text* text, const char* format, ...) {
  if (text->used + 1 >= text->size) return;
  va_list arguments;
  va_start(arguments, format);
  const int added = std::vsnprintf(text->out + text->used, text->size - text->used, format, arguments);
  va_end(arguments);
  if (added <= 0) return;
  text->used += static_cast<size_t>(added);
  if (text->used >= text->size) text->used = text->size - 1;
}


bool ConfirmedAhead(const EpisodeRecord& record) {
  return record.end == EpisodeConfirmed && IsBefore(record.ended, record.released);
}

enum WallFormat : int32_t { WallDateTime, WallClock, WallIsoDateTime, WallZone };

// The release's moment on the wall clock, in the unit's local time.
void AddWallTime(Text* text, const EpisodeRecord& record, WallFormat format) {
  tm local = {};
  const time_t seconds = record.released_wall.tv_sec;
  localtime_r(&seconds, &local);
  char clock[32];
  size_t length = 0;
  switch (format) {
    case WallDateTime:
      length = std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &local);
      break;
    case WallClock:
      length = std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
      break;
    case WallIsoDateTime:
      length = std::strftime(clock, sizeof clock, "%Y-%m-%dT%H:%M:%S", &local);
      break;
    case WallZone:
      length = std::strftime(clock, sizeof clock, "%z", &local);
      break;
  }
  clock[length] = '\0';
  Add(text, "%s", clock);
}

void AddMilliseconds(Text* text, const EpisodeRecord& record) {
  Add(text, ".%03ld", record.released_wall.tv_nsec / kNanosecondsPerMillisecond);
}

void AddTrouble(Text* text, const EpisodeRecord& record) {
  Add(text, "%s", kTroubleWords[record.trouble].line);
  if (record.trouble == TroubleRefused) {
    Add(text, ": %s", record.trouble_error != 0 ? std::strerror(record.trouble_error) : "no reason given");
  }
}

const char* Plural(int32_t count) { return count == 1 ? "" : "s"; }

}  // namespace

void BeginEpisode(EpisodeRecord* record, timespec released, timespec read_at, timespec now) {
  *record = {};
  record->end = EpisodeUnderWay;
  record->released = released;
  record->released_read = read_at;
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  record->released_wall = NanosecondsToTimespec(TimespecNanoseconds(wall) - TimespecNanoseconds(now) +
                                                TimespecNanoseconds(released));
}

void NoteStandbyCommand(EpisodeRecord* record, const ApCommandResult& result, HalLinkState link,
                        timespec now) {
  if (result.outcome == ApCommandSent) {
    if (!record->first_command_known) record->first_command = now;
    record->first_command_known = true;
    record->commands_sent += 1;
    return;
  }
  record->commands_not_sent += 1;
  if (record->trouble != TroubleNone) return;
  // A link that is not up is the cause behind everything else: no status
  // reaches a guard whose bus is down, so no address is learnt either.
  if (link == HalLinkDown) {
    record->trouble = TroubleCanDown;
  } else if (link == HalLinkBusOff) {
    record->trouble = TroubleBusOff;
  } else if (link == HalLinkNoSocket || result.hal_code == kHalErrorNoSocket) {
    record->trouble = TroubleNoSocket;
  } else if (result.outcome == ApCommandNoAutopilot) {
    record->trouble = TroubleNoAutopilot;
  } else if (result.outcome == ApCommandNoSource) {
    record->trouble = TroubleNoSource;
  } else {
    record->trouble = TroubleRefused;
    record->trouble_error = result.error;
  }
}

void NoteCommandWritten(EpisodeRecord* record, uint8_t sequence, HalLinkState link, timespec now) {
  if (!record->first_command_known) record->first_command = now;
  record->first_command_known = true;
  record->command_on_way = true;
  record->on_way_sequence = sequence;
  // A controller that is off drops what it is given without a word.
  if (link != HalLinkUp) SettleCommand(record, link);
}

void NoteCommandOnBus(EpisodeRecord* record, uint8_t sequence) {
  if (!record->command_on_way || sequence != record->on_way_sequence) return;
  record->command_on_way = false;
  record->commands_sent += 1;
}

void SettleCommand(EpisodeRecord* record, HalLinkState link) {
  if (!record->command_on_way) return;
  record->command_on_way = false;
  record->commands_not_sent += 1;
  if (record->trouble != TroubleNone) return;
  record->trouble = link == HalLinkDown     ? TroubleCanDown
                    : link == HalLinkBusOff ? TroubleBusOff
                                            : TroubleNotOnBus;
}

void EndEpisode(EpisodeRecord* record, EpisodeEnd end, timespec now) {
  record->end = end;
  record->ended = now;
}

size_t FormatEpisodeLine(const EpisodeRecord& record, AlarmType alarm, char* out, size_t size) {
  Text text = {out, size, 0};
  out[0] = '\0';
  Add(&text, "Press of the autopilot key released at ");
  AddWallTime(&text, record, WallDateTime);
  AddMilliseconds(&text, record);
  const long long lag_ms = MillisecondsBetween(record.released, record.released_read);
  if (lag_ms > 0) Add(&text, " (read %lld ms later)", lag_ms);
  Add(&text, ": ");
  if (record.end == EpisodeConfirmed) {
    if (ConfirmedAhead(record)) {
      Add(&text, "confirmed by the UI ahead, on the key-down");
    } else {
      Add(&text, "confirmed by the UI after %lld ms", MillisecondsBetween(record.released, record.ended));
    }
    return text.used;
  }
  Add(&text, "not confirmed; ");
  if (record.commands_sent > 0) {
    const long long first_ms = MillisecondsBetween(record.released, record.first_command) + 50;
    Add(&text, "standby commanded %d time%s, the first %lld.%lld s after the release",
        static_cast<int>(record.commands_sent), Plural(record.commands_sent), first_ms / kMillisecondsPerSecond,
        first_ms % kMillisecondsPerSecond / 100);
  } else {
    Add(&text, "no standby command reached the bus");
  }
  if (record.commands_not_sent > 0) {
    Add(&text, "; %d command%s not sent: ", static_cast<int>(record.commands_not_sent),
        Plural(record.commands_not_sent));
    AddTrouble(&text, record);
  }
  if (record.end == EpisodeStandby) {
    if (record.commands_sent > 0) {
      Add(&text, "; the autopilot reported standby %lld ms after the first command",
          MillisecondsBetween(record.first_command, record.ended));
    } else {
      Add(&text, "; the autopilot reported standby %lld ms after the release",
          MillisecondsBetween(record.released, record.ended));
    }
  } else if (record.end == EpisodeGaveUp) {
    const int32_t due = record.commands_sent + record.commands_not_sent;
    Add(&text, "; given up after %d command%s with no standby report", static_cast<int>(due),
        Plural(due));
  }
  if (!record.warning_started) {
    Add(&text, "; no warning alarm");
  } else if (alarm == AlarmNone) {
    Add(&text, "; no warning alarm: no alarm output configured");
  } else {
    Add(&text, "; warning alarm started%s", record.warning_cut_short ? ", cut short by the all-clear" : "");
  }
  if (record.flight != 0) Add(&text, "; the bus around it in flight %06u", static_cast<unsigned>(record.flight));
  return text.used;
}

size_t FormatTroubleLine(const EpisodeRecord& record, char* out, size_t size) {
  Text text = {out, size, 0};
  out[0] = '\0';
  Add(&text, "Standby command not sent: ");
  AddTrouble(&text, record);
  return text.used;
}

size_t FormatEpisodeSummary(const EpisodeRecord& record, char* out, size_t size) {
  Text text = {out, size, 0};
  out[0] = '\0';
  Add(&text, "last press ");
  AddWallTime(&text, record, WallClock);
  const int32_t due = record.commands_sent + record.commands_not_sent;
  switch (record.end) {
    case EpisodeConfirmed:
      Add(&text, " confirmed");
      break;
    case EpisodeStandby:
      Add(&text, " standby after %d command%s", static_cast<int>(due), Plural(due));
      break;
    default:
      Add(&text, " no standby after %d command%s", static_cast<int>(due), Plural(due));
      break;
  }
  if (record.commands_not_sent > 0) {
    Add(&text, ", %d not sent (%s)", static_cast<int>(record.commands_not_sent),
        kTroubleWords[record.trouble].field);
  }
  return text.used;
}

size_t FormatJournalFields(const EpisodeRecord& record, AlarmType alarm, const char* message,
                           char* out, size_t size) {
  Text text = {out, size, 0};
  out[0] = '\0';
  const bool confirmed = record.end == EpisodeConfirmed;
  const bool troubled = record.commands_not_sent > 0;
  Add(&text, "MESSAGE=%s\nMESSAGE_ID=%s\nPRIORITY=%d\nSYSLOG_IDENTIFIER=helmwatch\n", message,
      kEpisodeMessageId, confirmed ? 6 : record.end == EpisodeStandby && !troubled ? 5 : 4);
  const char* outcome = ConfirmedAhead(record) ? "confirmed-ahead"
                        : confirmed           ? "confirmed"
                        : record.end == EpisodeStandby ? "standby"
                                                       : "given-up";
  Add(&text, "HELMWATCH_OUTCOME=%s\nHELMWATCH_RELEASED=", outcome);
  AddWallTime(&text, record, WallIsoDateTime);
  AddMilliseconds(&text, record);
  AddWallTime(&text, record, WallZone);
  Add(&text, "\nHELMWATCH_READ_LAG_MS=%lld\n", MillisecondsBetween(record.released, record.released_read));
  if (confirmed && !ConfirmedAhead(record)) {
    Add(&text, "HELMWATCH_CONFIRMED_MS=%lld\n", MillisecondsBetween(record.released, record.ended));
  }
  if (confirmed) return text.used;
  Add(&text, "HELMWATCH_COMMANDS_SENT=%d\nHELMWATCH_COMMANDS_NOT_SENT=%d\n",
      static_cast<int>(record.commands_sent), static_cast<int>(record.commands_not_sent));
  if (troubled) Add(&text, "HELMWATCH_NOT_SENT_CAUSE=%s\n", kTroubleWords[record.trouble].field);
  if (record.commands_sent > 0) {
    Add(&text, "HELMWATCH_FIRST_COMMAND_MS=%lld\n", MillisecondsBetween(record.released, record.first_command));
    if (record.end == EpisodeStandby) {
      Add(&text, "HELMWATCH_STANDBY_MS=%lld\n", MillisecondsBetween(record.first_command, record.ended));
    }
  }
  const char* warning = !record.warning_started  ? "none"
                        : alarm == AlarmNone     ? "no-alarm-output"
                        : record.warning_cut_short ? "cut-short"
                                                   : "started";
  Add(&text, "HELMWATCH_WARNING=%s\n", warning);
  if (record.flight != 0) Add(&text, "HELMWATCH_FLIGHT=%06u\n", static_cast<unsigned>(record.flight));
  return text.used;
}
