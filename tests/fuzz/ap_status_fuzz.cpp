// The autopilot status decoder over arbitrary frames: any identifier, any
// length byte (the receive record may hold more than 8), any data. Each
// frame is 13 bytes of input: identifier (4, little-endian), length, data.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "can/autopilot.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr size_t kFrameBytes = 13;

struct Learnt {
  uint8_t autopilot;
  uint8_t command_source;
  uint32_t status_count;
  bool standby;
};

// heard: the autopilot's statuses the decoder handed back so far.
Learnt Snapshot(const ApStatusReport& heard) {
  return {autopilot_address, command_source_address, ap_status_count, heard.standby};
}

bool Same(const Learnt& a, const Learnt& b) {
  return a.autopilot == b.autopilot && a.command_source == b.command_source &&
         a.status_count == b.status_count && a.standby == b.standby;
}

// What one frame must change, written from the message's layout rather than
// from the decoder: PGN 65305 in identifier bits 8-24 (data page 0), the
// maker's code 0x9F41 in bytes 0-1, the kind in byte 3, the standby bit 0x08
// of byte 4 for kind 10. Only bytes within the length count.
Learnt Expected(const Learnt& before, const CanFrame& frame) {
  const uint32_t pgn = (frame.id >> 8) & 0x1FFFF;
  const bool whole = pgn == 65305 && frame.length >= 4 && frame.data[0] == 0x41 &&
                     frame.data[1] == 0x9F;
  if (!whole) return before;
  Learnt after = before;
  const uint8_t sender = static_cast<uint8_t>(frame.id & 0xFF);
  if (frame.data[3] == 10 && frame.length >= 5) {
    after.autopilot = sender;
    after.status_count = before.status_count + 1;
    after.standby = (frame.data[4] & 0x08) != 0;
  } else if (frame.data[3] == 11) {
    after.command_source = sender;
  }
  return after;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResetAutopilotMessages();
  ApStatusReport heard = {};
  const Learnt start = Snapshot(heard);
  FUZZ_CHECK(start.autopilot == kAddressNotLearnt && start.command_source == kAddressNotLearnt &&
                 start.status_count == 0 && !start.standby,
             "the reset forgets everything");

  for (size_t at = 0; at + kFrameBytes <= size; at += kFrameBytes) {
    CanFrame frame = {};
    std::memcpy(&frame.id, data + at, sizeof frame.id);
    frame.length = data[at + 4];
    std::memcpy(frame.data, data + at + 5, sizeof frame.data);

    const Learnt before = Snapshot(heard);
    const Learnt expected = Expected(before, frame);
    DecodeApStatus(&frame, &heard);
    const Learnt after = Snapshot(heard);
    FUZZ_CHECK(Same(after, expected), "the frame taught what its bytes say, nothing else");
    FUZZ_CHECK(heard.count == ap_status_count, "every autopilot status is handed back, and nothing else");
  }
  return 0;
}
