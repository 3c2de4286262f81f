// Autopilot messages: the status the autopilot broadcasts and the standby
// command the guard sends it.
#pragma once

// Decodes every frame waiting on the CAN socket without blocking. Returns the
// access layer's code that ended the draining (-2 queue empty, -9 no socket).
int DrainCanInput();

// Non-zero when the latest autopilot status message reported standby.
int IsApStandby();

// Sends one standby command, or nothing while the autopilot's address or the
// command's source address has not been learnt from the bus.
void SendApStandby();
