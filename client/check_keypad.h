// The keypad the guard reads, as helmwatch-ctl check sees it: an input-event
// device that sends a guarded key code, its name and the path it resolves
// to; and, when asked, the keys pressed on it. It is only read, never
// grabbed: the guard and the UI go on seeing every key.
#pragma once

// Reports the keypad at path. guard_resolved is where the path led when
// the guard opened it (null when not known). With press_seconds above 0 it
// then asks for a press of the autopilot key and reports each key seen for
// up to that long, until a short press of a guarded key.
void CheckKeypad(const char* path, const char* guard_resolved, long press_seconds);
