// Autopilot messages: the status the autopilot broadcasts (PGN 65305) and the
// standby command the guard sends it (PGN 130850), both proprietary to the
// autopilot's maker. The daemon claims no bus address: the command goes out
// under a source address learnt from the bus.
#pragma once

#include <time.h>

#include <cstdint>

#include "can/can_hal.h"

// The ISO 11783 null address: an address not yet learnt.
inline constexpr uint8_t kAddressNotLearnt = 254;

// What the status messages have taught so far, for the life of the process.
extern uint8_t autopilot_address;       // sender of the latest kind-10 status
extern uint8_t command_source_address;  // sender of the latest kind-11 status
// Autopilot status messages (kind 10) decoded so far, modulo 2^32: a change
// tells a watcher that the autopilot was heard, at no cost per frame.
extern uint32_t ap_status_count;

// Without a status from the autopilot for this long it counts as silent: it
// broadcasts several a second.
inline constexpr long kAutopilotSilenceSeconds = 5;

enum ApPresence : int32_t {
  ApNeverHeard = 0,  // no autopilot status since the start
  ApHeard = 1,
  ApSilent = 2,  // none for the silence time after one came
};

// What the status messages tell of the autopilot's presence at now
// (CLOCK_MONOTONIC); last_heard is given when the latest status was first
// noticed by a call. Costs nothing per frame: it follows the status count.
ApPresence AutopilotPresence(timespec now, timespec* last_heard);

// Forgets everything learnt and the commands counted, as at process start.
void ResetAutopilotMessages();

// Has the CAN layer's sockets receive the autopilot's status messages (from
// any sender) and nothing else of the bus's traffic: the only frames the
// guard decodes.
void ReceiveApStatusOnly();

// The same and the standby command from any source: the guard's own as
// they reach the bus (HalReceiveFrames marks them own) and any other
// device's, for the record of what the bus said.
void ReceiveApStatusAndStandbyCommands();

// The autopilot's own status messages (kind 10) among the frames decoded,
// handed to the caller, who keeps what it needs of them: the guard loop its
// standby evidence, the commissioning check what the autopilot last said.
struct ApStatusReport {
  uint32_t count;  // how many were decoded
  bool standby;    // the latest one's standby bit; left as it was while count does not grow
  // The guard's own standby commands whose last frame came back from the
  // bus (its controller sent them), and the latest one's sequence number.
  uint32_t commands_on_bus;
  uint8_t last_on_bus;
};

// Where a drain hands every frame it read, the guard's own and error frames
// included, with the kernel's stamps: the flight recorder.
using ApFrameSink = void (*)(const HalReceived* frames, int count);

// Decodes every frame waiting on the CAN socket without blocking and adds the
// autopilot's statuses among them to *statuses. Returns the access layer's
// code that ended the draining (-2 queue empty, -9 no socket).
int DrainCanInput(ApStatusReport* statuses, ApFrameSink sink = nullptr);

// Learns from one received frame when it is a whole status message, and adds
// it to *statuses when it is the autopilot's; every other frame, a short one
// included, is ignored.
void DecodeApStatus(const CanFrame* frame, ApStatusReport* statuses);

// What became of a standby command.
enum ApCommandOutcome : int32_t {
  ApCommandSent = 0,         // both frames went to the controller
  ApCommandNoAutopilot = 1,  // the autopilot's address is not learnt: nothing sent
  ApCommandNoSource = 2,     // the command source address is not learnt: nothing sent
  ApCommandRefused = 3,      // the CAN layer refused a frame (error tells why)
};

struct ApCommandResult {
  ApCommandOutcome outcome;
  int hal_code;  // the CAN layer's code for the first frame refused, else 0
  int error;     // errno of that refusal, 0 when the layer gave none
};

// Sends one standby command, or nothing while the autopilot's address or the
// command's source address has not been learnt from the bus, and tells what
// became of it. Send failures are not retried here: the guard repeats the
// command.
ApCommandResult SendApStandby();

// A standby command sent frame by frame, so that a frame refused by a full
// transmit queue may go again a few milliseconds later, and frame 1 goes
// only after frame 0 went: the autopilot reassembles frames of one sequence
// number in order, from one source.
inline constexpr uint8_t kApStandbyFrames = 2;

struct ApStandbyCommand {
  uint8_t autopilot;   // the addresses when it began, the same in both frames
  uint8_t source;
  uint8_t sequence;    // the fast-packet sequence number, 0 to 7
  uint8_t next_frame;  // 0 or 1; kApStandbyFrames once both went
};

// Begins a command with the next sequence number (shared with
// SendApStandby, moving on once per command), or, while either address is
// not learnt, begins nothing and tells which.
ApCommandResult BeginApStandby(ApStandbyCommand* command);

// Sends the command's next frame. ApCommandSent: it went, and next_frame
// moved on (nothing is sent once both went). ApCommandRefused: it did not,
// and it stays the next; a hal_code of -13 (the transmit queue full) is
// worth another try.
ApCommandResult SendApStandbyFrame(ApStandbyCommand* command);
