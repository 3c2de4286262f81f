// Recorders standing in for the CAN link and the alarm outputs in the guard
// loop's tests: the guard's decisions are what these tests pin down, and the
// CAN socket does not exist on the test machine. Key device, control socket
// and CAN descriptor stay real pipes and sockets.
#pragma once

#include <string>
#include <vector>

#include "can/autopilot.h"

// Every call the loop made, in order: "drain", "standby", "warning 13",
// "cleared 1" (SoundAlarm with its pattern and count).
extern std::vector<std::string> neighbour_calls;

// The standby bit of the autopilot status each drain decodes.
extern int neighbour_ap_standby;

// What SendApStandby answers.
extern ApCommandResult neighbour_command_result;

// What HalGetLinkState answers (HalLinkState); autopilot_address and
// command_source_address are plain variables here too.
extern int neighbour_link_state;

// What AutopilotPresence answers.
extern ApPresence neighbour_ap_presence;
extern timespec neighbour_ap_last_heard;

// Clears the record: the drained statuses say not standby, the link is up, nothing is
// learnt and neighbour_can_fd is -1 again.
void ResetNeighbours();

// What DrainCanInput empties: a test that hands the loop a pipe's read end
// for its CAN descriptor points this at it too.
extern int neighbour_can_fd;
