#include "can/autopilot.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "common/monotonic_time.h"

namespace {

constexpr int kCanChannel = 0;

// Bytes 0-1 of both messages, 0x9F41 little-endian: the maker's code in bits
// 0-10, reserved bits 11-12 set, industry group 4 (marine) in bits 13-15.
constexpr uint8_t kProprietaryLow = 0x41;
constexpr uint8_t kProprietaryHigh = 0x9F;

// Identifier bits 8-24 (PDU format 0xFF makes them the PGN with its data page
// bit) and bits 0-7 (the sender).
constexpr uint32_t kPgnShift = 8;
constexpr uint32_t kPgnMask = 0x1FFFF;
constexpr uint32_t kSourceMask = 0xFF;
constexpr uint32_t kAnyIdentifierMask = 0x1FFFFFFF;  // all 29 bits

constexpr uint32_t kApStatusPgn = 0x0FF19;  // PGN 65305, data page 0
constexpr size_t kStatusKindByte = 3;
constexpr uint8_t kStatusKindAutopilot = 10;      // from the autopilot: its standby bit
constexpr uint8_t kStatusKindCommandSource = 11;  // from the device whose address commands use
constexpr size_t kStandbyByte = 4;
constexpr uint8_t kStandbyBit = 0x08;
// A frame is judged only on bytes it carries: the receive record keeps stale
// bytes beyond the length, and a stale standby bit would end a guard episode
// that never reached the autopilot.
constexpr uint8_t kStatusMinLength = kStatusKindByte + 1;
constexpr uint8_t kAutopilotStatusMinLength = kStandbyByte + 1;

// PGN 130850 (0x1FF22, data page 1) at priority 2, plus the source address.
constexpr uint32_t kStandbyCommandId = 0x09FF2200;
constexpr uint8_t kFastPacketFrameLength = 8;
constexpr uint8_t kStandbyPayloadLength = 12;
constexpr uint8_t kFill = 0xFF;
// Fast-packet byte 0: sequence number in bits 5-7, frame number in bits 0-4.
constexpr uint32_t kSequenceShift = 5;
constexpr uint8_t kFrameNumberMask = 0x1F;
constexpr uint32_t kSequenceMask = 0x7;

// Commands sent; the low 3 bits number the fast packet.
int32_t fast_packet_sequence = 0;

// The status count when the autopilot was last noticed, and when.
struct ApHearing {
  uint32_t count;
  bool heard;
  timespec last_heard;
};
ApHearing hearing = {0, false, {0, 0}};

// Keeps the first refusal of a command's frames: the reason it failed.
void Note(ApCommandResult* result, int hal_code) {
  if (hal_code == kHalOk || result->outcome == ApCommandRefused) return;
  *result = {ApCommandRefused, hal_code, hal_code == kHalErrorNoSocket ? 0 : errno};
}

// One frame of the standby command, index 0 or 1.
CanFrame StandbyFrame(uint8_t autopilot, uint8_t source, uint8_t sequence, int index) {
  const uint8_t payload[kStandbyPayloadLength] = {
      kProprietaryLow, kProprietaryHigh, autopilot, 0xFF, 0xFF, 0x0A, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto first = static_cast<uint8_t>(sequence << kSequenceShift);
  CanFrame frame = {};
  frame.id = kStandbyCommandId + source;
  frame.length = kFastPacketFrameLength;
  if (index == 0) {
    // Payload length, then payload bytes 0-5.
    frame.data[0] = first;
    frame.data[1] = kStandbyPayloadLength;
    std::memcpy(&frame.data[2], &payload[0], 6);
  } else {
    // Payload bytes 6-11, then one fill byte.
    frame.data[0] = static_cast<uint8_t>(first + 1);
    std::memcpy(&frame.data[1], &payload[6], 6);
    frame.data[7] = kFill;
  }
  return frame;
}

// Modulo 2^32 so the counter may run for ever; only its low 3 bits number
// the fast packet.
uint8_t NextSequence() {
  const auto count = static_cast<uint32_t>(fast_packet_sequence);
  fast_packet_sequence = static_cast<int32_t>(count + 1);
  return static_cast<uint8_t>(count & kSequenceMask);
}

}  // namespace

uint8_t autopilot_address = kAddressNotLearnt;
uint8_t command_source_address = kAddressNotLearnt;
uint32_t ap_status_count = 0;

void ResetAutopilotMessages() {
  autopilot_address = kAddressNotLearnt;
  command_source_address = kAddressNotLearnt;
  fast_packet_sequence = 0;
  ap_status_count = 0;
  hearing = {0, false, {0, 0}};
}

ApPresence AutopilotPresence(timespec now, timespec* last_heard) {
  if (ap_status_count != hearing.count) {
    hearing.count = ap_status_count;
    hearing.heard = true;
    hearing.last_heard = now;
  }
  *last_heard = hearing.last_heard;
  if (!hearing.heard) return ApNeverHeard;
  const timespec silent_at =
      AddMicroseconds(hearing.last_heard, kAutopilotSilenceSeconds * kMicrosecondsPerSecond);
  return IsBefore(now, silent_at) ? ApHeard : ApSilent;
}

void ReceiveApStatusOnly() {
  (void)HalSetReceiveFilter(kCanChannel, kApStatusPgn << kPgnShift, kPgnMask << kPgnShift);
}

int DrainCanInput(ApStatusReport* statuses, ApFrameSink sink) {
  // Many frames a system call; a batch that did not fill tells that the
  // queue is empty, so a frame a wake-up costs one read, not two.
  HalReceived frames[kHalMostFramesPerRead];
  for (;;) {
    bool more = false;
    const int got = HalReceiveFrames(kCanChannel, frames, kHalMostFramesPerRead, &more);
    if (got < 0) return got;
    for (int i = 0; i < got; ++i) {
      const HalReceived& received = frames[i];
      if ((received.flags & kHalFrameError) != 0) continue;
      if ((received.flags & kHalFrameOwn) == 0) {
        DecodeApStatus(&received.frame, statuses);
      } else if ((received.frame.id & ~kSourceMask) == kStandbyCommandId &&
                 received.frame.length == kFastPacketFrameLength &&
                 (received.frame.data[0] & kFrameNumberMask) == kApStandbyFrames - 1) {
        statuses->commands_on_bus += 1;
        statuses->last_on_bus = static_cast<uint8_t>(received.frame.data[0] >> kSequenceShift);
      }
    }
    if (sink != nullptr) sink(frames, got);
    if (!more) return kHalErrorNoFrame;
  }
}

void DecodeApStatus(const CanFrame* frame, ApStatusReport* statuses) {
  if (((frame->id >> kPgnShift) & kPgnMask) != kApStatusPgn) return;
  if (frame->length < kStatusMinLength) return;
  if (frame->data[0] != kProprietaryLow || frame->data[1] != kProprietaryHigh) return;

  const uint8_t source = static_cast<uint8_t>(frame->id & kSourceMask);
  switch (frame->data[kStatusKindByte]) {
    case kStatusKindAutopilot:
      if (frame->length < kAutopilotStatusMinLength) return;
      statuses->count += 1;
      statuses->standby = (frame->data[kStandbyByte] & kStandbyBit) != 0;
      autopilot_address = source;
      ap_status_count += 1;
      break;
    case kStatusKindCommandSource:
      command_source_address = source;
      break;
    default:
      break;
  }
}

ApCommandResult SendApStandby() {
  if (autopilot_address == kAddressNotLearnt) return {ApCommandNoAutopilot, kHalOk, 0};
  if (command_source_address == kAddressNotLearnt) return {ApCommandNoSource, kHalOk, 0};
  const uint8_t sequence = NextSequence();
  ApCommandResult result = {ApCommandSent, kHalOk, 0};
  for (int index = 0; index < kApStandbyFrames; ++index) {
    const CanFrame frame = StandbyFrame(autopilot_address, command_source_address, sequence, index);
    Note(&result, HalSendFrame(kCanChannel, &frame, 0));
  }
  return result;
}

void ReceiveApStatusAndStandbyCommands() {
  const HalFilter filters[] = {{kApStatusPgn << kPgnShift, kPgnMask << kPgnShift},
                               {kStandbyCommandId, kAnyIdentifierMask & ~kSourceMask}};
  (void)HalSetReceiveFilters(kCanChannel, filters, 2);
}

ApCommandResult BeginApStandby(ApStandbyCommand* command) {
  if (autopilot_address == kAddressNotLearnt) return {ApCommandNoAutopilot, kHalOk, 0};
  if (command_source_address == kAddressNotLearnt) return {ApCommandNoSource, kHalOk, 0};
  *command = {autopilot_address, command_source_address, NextSequence(), 0};
  return {ApCommandSent, kHalOk, 0};
}

ApCommandResult SendApStandbyFrame(ApStandbyCommand* command) {
  ApCommandResult result = {ApCommandSent, kHalOk, 0};
  if (command->next_frame >= kApStandbyFrames) return result;
  const CanFrame frame = StandbyFrame(command->autopilot, command->source, command->sequence, command->next_frame);
  Note(&result, HalSendFrame(kCanChannel, &frame, 0));
  if (result.outcome == ApCommandSent) command->next_frame += 1;
  return result;
}
