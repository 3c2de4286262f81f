// The key device across unplugging. A device that goes away is closed and its
// path watched; when a new device appears there it is opened again, without
// blocking and without disturbing the rest of the guard.
#pragma once

// What OpenKeyDevice returns when the path opens but is no key device.
inline constexpr int kKeyDeviceNotInput = -2;

// Opens path read-only and blocking for start-up and remembers it for later
// reopening, from wherever the process then works (a relative path is taken
// from the directory it was given in). Returns the descriptor; -1 when the
// path cannot be opened; kKeyDeviceNotInput when it names anything but an
// input-event device or a FIFO (which tests and integrators feed events
// through): a directory or a regular file would guard nothing, and a device
// like /dev/zero would keep the loop busy for ever.
int OpenKeyDevice(const char* path);

// Closes the lost device's descriptor, reports the loss on standard error and
// starts watching its path. Returns a descriptor when another device already
// stands at the path, else -1. A FIFO whose writer has closed is taken up
// again when a new writer writes to it, as a keypad plugged in again.
int DropKeyDevice(int key_fd);

// Descriptor that becomes readable when something changes on the way to the
// device path; -1 while nothing is watched.
int KeyDeviceWatchFd();

// Serves the readable watch descriptor. Returns the new device's descriptor
// (non-blocking) once a device other than the lost one can be opened at the
// path, else -1 and the watch goes on.
int ServeKeyDeviceWatch();

// Whether the key device's events are stamped on CLOCK_MONOTONIC: an
// input-event device opened here has been switched to that clock, a FIFO
// keeps whatever stamps its writer gives.
bool KeyStampsMonotonic();

// Says so for a device opened elsewhere (a test's pipe).
void SetKeyStampsMonotonic(bool monotonic);

// True when fd is what the guard takes as its key device: a FIFO, or a
// character device that answers the input-event version query.
bool IsKeyDevice(int fd);
