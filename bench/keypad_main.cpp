// helmwatch-keypad: a uinput keypad with the guarded keys for bench tests.
//
// Runs the commands given as arguments, or else read one per line from
// standard input, and writes one line per event stamped with CLOCK_MONOTONIC
// seconds ("T device PATH", "T down KEY", "T up KEY", "T unplugged"):
//   press KEY HOLD_MS   key down, hold, key up
//   down KEY | up KEY   one edge
//   sleep MS            pause
//   unplug | plug       destroy the device, create it again
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/autopilot_sim.h"
#include "bench/keypad.h"

namespace {

constexpr int kKeys[] = {30, 38, 48};  // the two guarded keys and one that is not
constexpr char kName[] = "helmwatch bench keypad";

void Note(const char* what, const std::string& detail = "") {
  std::printf("%.6f %s%s%s\n", MonotonicSeconds(), what, detail.empty() ? "" : " ",
              detail.c_str());
  std::fflush(stdout);
}

bool Plug(SimKeypad* keypad) {
  std::string error;
  if (!CreateKeypad(keypad, kName, kKeys, static_cast<int>(std::size(kKeys)), &error)) {
    std::fprintf(stderr, "helmwatch-keypad: %s\n", error.c_str());
    return false;
  }
  Note("device", keypad->event_path);
  return true;
}

bool Number(std::istringstream& words, int* value) {
  return static_cast<bool>(words >> *value) && *value >= 0;
}

// Runs one command line; false ends the program with status 1.
bool Run(SimKeypad* keypad, const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  if (!(words >> verb)) return true;
  int key = 0;
  int ms = 0;
  if (verb == "press" && Number(words, &key) && Number(words, &ms)) {
    Note("down", std::to_string(key));
    if (!WriteKeyEdge(*keypad, key, 1)) return false;
    timespec hold{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&hold, &hold) != 0 && errno == EINTR) {
    }
    if (!WriteKeyEdge(*keypad, key, 0)) return false;
    Note("up", std::to_string(key));
    return true;
  }
  if ((verb == "down" || verb == "up") && Number(words, &key)) {
    if (!WriteKeyEdge(*keypad, key, verb == "down" ? 1 : 0)) return false;
    Note(verb.c_str(), std::to_string(key));
    return true;
  }
  if (verb == "sleep" && Number(words, &ms)) {
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return true;
  }
  if (verb == "unplug") {
    DestroyKeypad(keypad);
    Note("unplugged");
    return true;
  }
  if (verb == "plug") return keypad->uinput_fd >= 0 || Plug(keypad);
  std::fprintf(stderr, "helmwatch-keypad: cannot run '%s'\n", line.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  SimKeypad keypad;
  if (!Plug(&keypad)) return 1;
  bool ok = true;
  if (argc > 1) {
    // Arguments form commands: a verb followed by its numbers.
    std::string line;
    for (int i = 1; i < argc && ok; ++i) {
      const bool verb = std::strspn(argv[i], "0123456789") != std::strlen(argv[i]);
      if (verb && !line.empty()) {
        ok = Run(&keypad, line);
        line.clear();
      }
      // Two appends rather than "literal" + string, on which GCC 12 at -O3
      // warns falsely of an overlapping copy (-Wrestrict).
      if (!line.empty()) line += ' ';
      line += argv[i];
    }
    if (ok && !line.empty()) ok = Run(&keypad, line);
  } else {
    for (std::string line; ok && std::getline(std::cin, line);) ok = Run(&keypad, line);
  }
  DestroyKeypad(&keypad);
  return ok ? 0 : 1;
}
