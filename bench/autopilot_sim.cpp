#include "bench/autopilot_sim.h"

#include <time.h>

#include <cstdio>

namespace {

constexpr uint32_t kStatusIdBase = 0x18FF1900;  // priority 6, PGN 65305
constexpr uint32_t kCommandPgnBits = 0x1FF2200;  // data page 1, PGN 130850, in bits 8-24
constexpr uint32_t kCommandPriority = 2;
constexpr uint8_t kPayloadLength = 12;
constexpr uint8_t kCommandPayload[kPayloadLength] = {0x41, 0x9F, 0x00 /* target */, 0xFF,
                                                     0xFF, 0x0A, 0x06, 0x00,
                                                     0xFF, 0xFF, 0xFF, 0xFF};
constexpr int kTargetByte = 2;

std::string Hex(const SimFrame& frame) {
  char text[64];
  int at = std::snprintf(text, sizeof text, "id %08X:", static_cast<unsigned>(frame.id));
  for (int i = 0; i < frame.length && i < 8; ++i)
    at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), " %02X", frame.data[i]);
  return text;
}

}  // namespace

SimFrame StatusFrame(uint8_t source, uint8_t kind, bool standby) {
  SimFrame frame{kStatusIdBase + source, 8, {0x41, 0x9F, 0x00, kind, 0x00, 0xFF, 0xFF, 0xFF}};
  if (kind == 10) frame.data[4] = standby ? 0x08 : 0x00;
  else frame.data[4] = 0xFF;
  return frame;
}

CommandVerdict AddCommandFrame(CommandAssembler* assembler, const SimFrame& frame,
                               StandbyCommand* command, std::string* problem) {
  if ((frame.id & 0x1FFFF00) != kCommandPgnBits) return CommandNotOurs;
  const auto fail = [&](const std::string& what) {
    *problem = what + " (" + Hex(frame) + ")";
    assembler->have_first = false;
    return CommandMalformed;
  };
  if (frame.id >> 26 != kCommandPriority) return fail("priority is not 2");
  if (frame.length != 8) return fail("frame is not 8 bytes long");
  const uint8_t sequence = frame.data[0] >> 5;
  const uint8_t number = frame.data[0] & 0x1F;
  if (number == 0) {
    if (assembler->have_first) return fail("new command before the second frame of the last");
    if (frame.data[1] != kPayloadLength) return fail("payload length is not 12");
    assembler->have_first = true;
    assembler->id = frame.id;
    assembler->sequence = sequence;
    for (int i = 0; i < 6; ++i) assembler->payload[i] = frame.data[2 + i];
    return CommandIncomplete;
  }
  if (!assembler->have_first) return fail("second frame without a first");
  if (number != 1) return fail("frame number is not 1");
  if (sequence != assembler->sequence) return fail("sequence differs from the first frame's");
  if (frame.id != assembler->id) return fail("identifier differs from the first frame's");
  for (int i = 0; i < 6; ++i) assembler->payload[6 + i] = frame.data[1 + i];
  assembler->have_first = false;
  if (frame.data[7] != 0xFF) return fail("fill byte is not FF");
  for (int i = 0; i < kPayloadLength; ++i) {
    if (i != kTargetByte && assembler->payload[i] != kCommandPayload[i])
      return fail("payload byte " + std::to_string(i) + " is wrong");
  }
  *command = StandbyCommand{sequence, static_cast<uint8_t>(frame.id & 0xFF),
                            assembler->payload[kTargetByte]};
  return CommandComplete;
}

