#include "client/check_bus.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "can/autopilot.h"
#include "can/can_hal.h"
#include "client/check_report.h"
#include "client/check_wait.h"
#include "common/monotonic_time.h"

namespace {

constexpr int kCanChannel = 0;
constexpr uint32_t kBusBitRate = 250000;  // NMEA 2000

constexpr const char* kControllerStates[] = {"error-active", "error-warning", "error-passive",
                                             "bus-off",      "stopped",       "sleeping"};
constexpr int kLastWorkingState = 1;  // error-warning: errors seen, still sending

constexpr char kNothingCommanded[] = "an unconfirmed press would sound the alarm but command nothing";

const char* StateWord(int32_t state) {
  return state >= 0 && state < static_cast<int32_t>(std::size(kControllerStates)) ? kControllerStates[state]
                                                                                   : "in an unknown state";
}

// The guard never restarts the controller itself: without the driver's
// restart a bus-off, however brief, leaves it unable to command standby.
void CheckRestart(const char* ifname, int32_t restart_ms) {
  if (restart_ms > 0) {
    ReportCheck(true, "%s bus-off recovery: the driver restarts the controller %d ms after a bus-off", ifname,
                restart_ms);
  } else if (restart_ms == 0) {
    ReportCheck(false, "%s bus-off recovery: none (restart-ms 0): a bus-off would disarm the guard until %s is "
                "restarted; restart the guard, which sets it", ifname, ifname);
  } else {
    ReportCheck(false, "%s bus-off recovery: not known, %s does not tell its restart-ms: a bus-off may disarm the "
                "guard until %s is restarted", ifname, ifname, ifname);
  }
}

// can0 as it stands; true when it is worth listening on.
bool CheckInterface(const char* ifname) {
  HalInterfaceState state;
  if (HalGetInterfaceState(kCanChannel, &state) != kHalOk) {
    ReportCheck(false, "%s: no such interface: is the CAN controller's driver loaded?", ifname);
    return false;
  }
  if (state.up == 0) {
    ReportCheck(false, "%s: down; the guard brings it up when it starts: restart the guard (systemctl restart "
                "helmwatch)", ifname);
    return false;
  }
  if (state.bitrate != kBusBitRate) {
    ReportCheck(false, "%s: up, %u bit/s, %s; NMEA 2000 runs at %u bit/s: restart the guard, which sets it",
                ifname, state.bitrate, StateWord(state.can_state), kBusBitRate);
  } else if (state.can_state < 0 || state.can_state > kLastWorkingState) {
    ReportCheck(false, "%s: up, %u bit/s, %s: check the bus's wiring and termination and that other devices "
                "are on it, then restart the guard", ifname, state.bitrate, StateWord(state.can_state));
  } else {
    ReportCheck(true, "%s: up, %u bit/s, %s", ifname, state.bitrate, StateWord(state.can_state));
  }
  CheckRestart(ifname, state.restart_ms);
  return true;
}

// Listens for the status until both addresses are learnt or the time is up;
// the seconds it took. The autopilot's statuses heard are added to *heard.
double Listen(ApStatusReport* heard) {
  const timespec start = MonotonicNow();
  const timespec deadline = AddMicroseconds(start, kBusListenSeconds * kMicrosecondsPerSecond);
  while (autopilot_address == kAddressNotLearnt || command_source_address == kAddressNotLearnt) {
    if (WaitReadable(hal_channels[kCanChannel].fd, deadline) <= 0) break;
    (void)DrainCanInput(heard);
  }
  return static_cast<double>(MicrosecondsBetween(start, MonotonicNow())) /
         static_cast<double>(kMicrosecondsPerSecond);
}

}  // namespace

void CheckBus() {
  // The layer's record for channel 0: HalInit only reads the controller's
  // clock, and the socket is opened without configuring the interface.
  (void)HalInit();
  const char* ifname = hal_channels[kCanChannel].ifname;
  if (!CheckInterface(ifname)) {
    ReportCheck(false, "autopilot: not listened for, %s is not up: %s", ifname, kNothingCommanded);
    ReportCheck(false, "command source: not listened for, %s is not up: %s", ifname, kNothingCommanded);
    return;
  }
  ReceiveApStatusOnly();
  if (HalOpenSocket(kCanChannel) != kHalOk) {
    const int error = errno;
    ReportCheck(false, "autopilot: no CAN socket on %s: %s%s", ifname, std::strerror(error), RootHint(error));
    ReportCheck(false, "command source: no CAN socket on %s", ifname);
    return;
  }
  ApStatusReport heard = {};
  const double took = Listen(&heard);
  if (autopilot_address == kAddressNotLearnt) {
    ReportCheck(false, "autopilot: no status heard in %ld s on %s: %s; is the autopilot on and on this bus?",
                kBusListenSeconds, ifname, kNothingCommanded);
  } else {
    ReportCheck(true, "autopilot: address %u, %s (heard in %.1f s)", autopilot_address,
                heard.standby ? "in standby" : "engaged", took);
  }
  if (command_source_address == kAddressNotLearnt) {
    ReportCheck(false, "command source: no status naming it heard in %ld s on %s: %s", kBusListenSeconds, ifname,
                kNothingCommanded);
  } else {
    ReportCheck(true, "command source: address %u", command_source_address);
  }
  (void)HalClose(kCanChannel);
}
