// The words of an episode's record, its status field and its journal
// fields, for each way an episode ends, built through the calls the loop
// makes. The wall clock is fixed and read in UTC.
#include "guard/episode/episode_record.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/monotonic_time.h"

namespace {

struct Command {
  ApCommandOutcome outcome;
  HalLinkState link;
  int error;
};

constexpr Command kSent = {ApCommandSent, HalLinkUp, 0};

struct EpisodeCase {
  const char* name;
  std::vector<Command> commands;  // 250 ms apart, the first 3 s after the release
  EpisodeEnd end;
  long long end_ms;  // after the release
  bool warning;
  bool cut_short;
  AlarmType alarm;
  const char* line;     // after "...released at 2026-12-07 14:32:07.123: "
  const char* summary;  // after "last press 14:32:07 "
};

std::vector<Command> Times(size_t count, Command command) { return std::vector<Command>(count, command); }

const EpisodeCase kCases[] = {
    {"confirmed in the window", {}, EpisodeConfirmed, 850, false, false, AlarmBuzzer,
     "confirmed by the UI after 850 ms", "confirmed"},
    {"confirmed ahead", {}, EpisodeConfirmed, -40, false, false, AlarmBuzzer,
     "confirmed by the UI ahead, on the key-down", "confirmed"},
    {"standby after one command", {kSent}, EpisodeStandby, 3100, false, false, AlarmBuzzer,
     "not confirmed; standby commanded 1 time, the first 3.0 s after the release; the autopilot "
     "reported standby 100 ms after the first command; no warning alarm",
     "standby after 1 command"},
    {"standby cutting the warning short", {kSent, kSent}, EpisodeStandby, 3312, true, true, AlarmSpeaker,
     "not confirmed; standby commanded 2 times, the first 3.0 s after the release; the autopilot "
     "reported standby 312 ms after the first command; warning alarm started, cut short by the "
     "all-clear",
     "standby after 2 commands"},
    {"given up", Times(8, kSent), EpisodeGaveUp, 5000, true, false, AlarmGpio,
     "not confirmed; standby commanded 8 times, the first 3.0 s after the release; given up after 8 "
     "commands with no standby report; warning alarm started",
     "no standby after 8 commands"},
    {"no command source, no alarm output", Times(8, {ApCommandNoSource, HalLinkUp, 0}), EpisodeGaveUp,
     5000, true, false, AlarmNone,
     "not confirmed; no standby command reached the bus; 8 commands not sent: the command source "
     "address is not known (no kind-11 status heard since start); given up after 8 commands with no "
     "standby report; no warning alarm: no alarm output configured",
     "no standby after 8 commands, 8 not sent (no-command-source)"},
    {"bus-off hides the unlearnt address behind it", {{ApCommandNoAutopilot, HalLinkBusOff, 0}, kSent},
     EpisodeStandby, 3400, true, false, AlarmBuzzer,
     "not confirmed; standby commanded 1 time, the first 3.3 s after the release; 1 command not "
     "sent: CAN controller can0 is bus-off; the autopilot reported standby 150 ms after the first "
     "command; warning alarm started",
     "standby after 2 commands, 1 not sent (bus-off)"},
    {"refused by the socket", {kSent, {ApCommandRefused, HalLinkUp, ENOBUFS}, {ApCommandRefused, HalLinkDown, 0}},
     EpisodeStandby, 3600, true, false, AlarmBuzzer,
     "not confirmed; standby commanded 1 time, the first 3.0 s after the release; 2 commands not "
     "sent: the CAN socket refused it: No buffer space available; the autopilot reported standby "
     "600 ms after the first command; warning alarm started",
     "standby after 3 commands, 2 not sent (refused)"},
};

EpisodeRecord Play(const EpisodeCase& c) {
  const timespec released = {1000, 0};
  EpisodeRecord record;
  BeginEpisode(&record, released, released, released);
  record.released_wall = {1796653927, 123456789};  // 2026-12-07 14:32:07.123 UTC
  long long at_ms = 3000;
  for (const Command& command : c.commands) {
    NoteStandbyCommand(&record, {command.outcome, command.outcome == ApCommandRefused ? kHalErrorWrite : 0,
                                 command.error},
                       command.link, AddMicroseconds(released, at_ms * 1000));
    at_ms += 250;
  }
  record.warning_started = c.warning;
  record.warning_cut_short = c.cut_short;
  EndEpisode(&record, c.end,
             c.end_ms < 0 ? timespec{999, 960000000} : AddMicroseconds(released, c.end_ms * 1000));
  return record;
}

class EpisodeRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_F(EpisodeRecordTest, EachEndIsToldInPlainWords) {
  for (const EpisodeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const EpisodeRecord record = Play(c);
    char text[512];
    const size_t length = FormatEpisodeLine(record, c.alarm, text, sizeof text);
    EXPECT_EQ(std::string(text, length),
              std::string("Press of the autopilot key released at 2026-12-07 14:32:07.123: ") + c.line);
    EXPECT_EQ(std::string(text, FormatEpisodeSummary(record, text, sizeof text)),
              std::string("last press 14:32:07 ") + c.summary);
  }
}

TEST_F(EpisodeRecordTest, TroubleLineAndJournalFieldsNameTheCause) {
  const EpisodeRecord refused = Play(kCases[7]);
  char text[1024];
  EXPECT_EQ(std::string(text, FormatTroubleLine(refused, text, sizeof text)),
            "Standby command not sent: the CAN socket refused it: No buffer space available");
  EXPECT_EQ(std::string(text, FormatJournalFields(refused, AlarmBuzzer, "the line", text, sizeof text)),
            "MESSAGE=the line\nMESSAGE_ID=7f9a6f7f0b34461c927c67af9dbd9c1d\nPRIORITY=4\n"
            "SYSLOG_IDENTIFIER=helmwatch\nHELMWATCH_OUTCOME=standby\n"
            "HELMWATCH_RELEASED=2026-12-07T14:32:07.123+0000\nHELMWATCH_READ_LAG_MS=0\nHELMWATCH_COMMANDS_SENT=1\n"
            "HELMWATCH_COMMANDS_NOT_SENT=2\nHELMWATCH_NOT_SENT_CAUSE=refused\n"
            "HELMWATCH_FIRST_COMMAND_MS=3000\nHELMWATCH_STANDBY_MS=600\nHELMWATCH_WARNING=started\n");
  // A key-up the guard read late: dated by its stamp, the lag told.
  EpisodeRecord confirmed = Play(kCases[0]);
  confirmed.released_read = AddMicroseconds(confirmed.released, 190000);
  EXPECT_EQ(std::string(text, FormatJournalFields(confirmed, AlarmBuzzer, "m", text, sizeof text)),
            "MESSAGE=m\nMESSAGE_ID=7f9a6f7f0b34461c927c67af9dbd9c1d\nPRIORITY=6\n"
            "SYSLOG_IDENTIFIER=helmwatch\nHELMWATCH_OUTCOME=confirmed\n"
            "HELMWATCH_RELEASED=2026-12-07T14:32:07.123+0000\nHELMWATCH_READ_LAG_MS=190\nHELMWATCH_CONFIRMED_MS=850\n");
  EXPECT_EQ(std::string(text, FormatEpisodeLine(confirmed, AlarmBuzzer, text, sizeof text)),
            "Press of the autopilot key released at 2026-12-07 14:32:07.123 (read 190 ms later): confirmed by "
            "the UI after 850 ms");
  // Cut to the buffer, still terminated.
  EXPECT_EQ(FormatEpisodeLine(refused, AlarmBuzzer, text, 20), 19u);
  EXPECT_EQ(std::string(text), "Press of the autopi");
}

}  // namespace
