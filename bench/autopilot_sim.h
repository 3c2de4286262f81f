// An autopilot on the bench's other CAN controller: it broadcasts the status
// message the guard learns from and takes apart every standby command the
// guard sends, so a test can judge them frame by frame.
#pragma once

#include <cstdint>
#include <string>

// MonotonicSeconds(): the clock every bench peer stamps events with.
#include "common/monotonic_time.h"

struct SimFrame {
  uint32_t id;  // 29-bit identifier
  uint8_t length;
  uint8_t data[8];
};

// Status message, PGN 65305 at priority 6: kind 10 from the autopilot, with
// its standby bit, kind 11 naming the source address commands are sent from.
SimFrame StatusFrame(uint8_t source, uint8_t kind, bool standby);

// Reassembles the two-frame standby command, PGN 130850.
struct CommandAssembler {
  bool have_first = false;
  uint32_t id = 0;
  uint8_t sequence = 0;
  uint8_t payload[12] = {};
};

struct StandbyCommand {
  uint8_t sequence;  // fast-packet sequence number, 0..7
  uint8_t source;    // source address in the identifier
  uint8_t target;    // autopilot address in the payload
};

enum CommandVerdict {
  CommandNotOurs,     // another PGN: not a command frame
  CommandIncomplete,  // first frame of a command taken
  CommandComplete,    // *command holds a whole, well-formed command
  CommandMalformed,   // *problem says what is wrong
};

CommandVerdict AddCommandFrame(CommandAssembler* assembler, const SimFrame& frame,
                               StandbyCommand* command, std::string* problem);
