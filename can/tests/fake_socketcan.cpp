// libsocketcan as the test machine lacks it: results come from the script in
// fake_socketcan, and a failing call fills nothing.
#include <libsocketcan.h>

#include <cstdio>
#include <string>

#include "can/tests/fake_can.h"

std::vector<std::string> fake_can_calls;
FakeSocketCan fake_socketcan;

namespace {

int Result(const char* function, const char* name, const std::string& details = "") {
  fake_can_calls.push_back(std::string(function) + " " + name + details);
  std::deque<int>& script = fake_socketcan.results[function];
  if (script.empty()) return fake_socketcan.default_result;
  const int result = script.front();
  script.pop_front();
  return result;
}

}  // namespace

int can_get_clock(const char* name, can_clock* clock) {
  const int result = Result("can_get_clock", name);
  if (result == 0) *clock = fake_socketcan.clock;
  return result;
}

int can_get_bittiming_const(const char* name, can_bittiming_const* limits) {
  const int result = Result("can_get_bittiming_const", name);
  if (result == 0) *limits = fake_socketcan.limits;
  return result;
}

int can_do_stop(const char* name) { return Result("can_do_stop", name); }

int can_do_start(const char* name) { return Result("can_do_start", name); }

int can_set_restart_ms(const char* name, __u32 restart_ms) {
  // Appended rather than "literal" + string: GCC 12 at -O3 warns falsely of
  // an overlapping copy (-Wrestrict) in the inlined insert.
  std::string details = " ";
  details += std::to_string(restart_ms);
  const int result = Result("can_set_restart_ms", name, details);
  if (result == 0) fake_socketcan.restart_ms = restart_ms;
  return result;
}

int can_get_restart_ms(const char* name, __u32* restart_ms) {
  const int result = Result("can_get_restart_ms", name);
  if (result == 0) *restart_ms = fake_socketcan.restart_ms;
  return result;
}

int can_set_bittiming(const char* name, can_bittiming* timing) {
  char details[160];
  std::snprintf(details, sizeof details,
                " tq=%u prop_seg=%u phase_seg1=%u phase_seg2=%u sjw=%u bitrate=%u "
                "sample_point=%u brp=%u",
                timing->tq, timing->prop_seg, timing->phase_seg1, timing->phase_seg2, timing->sjw,
                timing->bitrate, timing->sample_point, timing->brp);
  return Result("can_set_bittiming", name, details);
}

int can_set_ctrlmode(const char* name, can_ctrlmode* mode) {
  char details[48];
  std::snprintf(details, sizeof details, " mask=0x%x flags=0x%x", mode->mask, mode->flags);
  return Result("can_set_ctrlmode", name, details);
}

int can_get_state(const char* name, int* state) {
  const int result = Result("can_get_state", name);
  if (result == 0) *state = fake_socketcan.state;
  return result;
}

int can_get_bittiming(const char* name, can_bittiming* timing) {
  const int result = Result("can_get_bittiming", name);
  if (result == 0) *timing = can_bittiming{};
  return result;
}

int can_get_berr_counter(const char* name, can_berr_counter* counter) {
  const int result = Result("can_get_berr_counter", name);
  if (result == 0) *counter = fake_socketcan.berr_counter;
  return result;
}

int can_get_device_stats(const char* name, can_device_stats* stats) {
  const int result = Result("can_get_device_stats", name);
  // Values the layer must not depend on.
  if (result == 0) *stats = can_device_stats{1, 2, 3, 4, 5, 6};
  return result;
}

int can_get_link_stats(const char* name, rtnl_link_stats64* stats) {
  const int result = Result("can_get_link_stats", name);
  if (result == 0) *stats = fake_socketcan.link_stats;
  return result;
}
