// The key device across unplugging. A device that goes away is closed and its
// path watched; when a new device appears there it is opened again, without
// blocking and without disturbing the rest of the guard.
#pragma once

// Opens path read-only and blocking for start-up and remembers it for later
// reopening. Returns the descriptor, or -1 when it cannot be opened.
int OpenKeyDevice(const char* path);

// Closes the lost device's descriptor, reports the loss on standard error and
// starts watching its path. Returns a descriptor when another device already
// stands at the path, else -1.
int DropKeyDevice(int key_fd);

// Descriptor that becomes readable when something changes on the way to the
// device path; -1 while nothing is watched.
int KeyDeviceWatchFd();

// Serves the readable watch descriptor. Returns the new device's descriptor
// (non-blocking) once a device other than the lost one can be opened at the
// path, else -1 and the watch goes on.
int ServeKeyDeviceWatch();
