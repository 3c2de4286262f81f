#include "guard/keypad/key_input.h"

#include <unistd.h>

#include <cerrno>

KeyRead ReadKeyEvent(int key_fd, input_event* event) {
  // One record per call at the platform's own size (16 bytes on the 32-bit
  // target, 24 on 64-bit), so each event gets a pass of the loop to itself.
  const ssize_t got = read(key_fd, event, sizeof *event);
  if (got == static_cast<ssize_t>(sizeof *event)) return KeyReadEvent;
  // An unplugged device stays readable for select while every read fails;
  // tell the loop so it stops watching instead of spinning on it.
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return KeyReadGone;
  return KeyReadNothing;
}
