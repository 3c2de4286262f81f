// CAN bus access layer: the one path to the NMEA 2000 bus on can0.
#pragma once

// Descriptor of the CAN receive socket, watched by the guard loop;
// -1 while no CAN socket exists.
extern int can_fd;

// Brings can0 up at 250 kbit/s and opens its raw socket. Prints what failed;
// returns 0 when the bus is on, 1 when switching it on failed.
int StartCanBus();
