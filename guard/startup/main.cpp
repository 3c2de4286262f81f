// helmwatch: an independent safety guard for the autopilot. A short press of
// the autopilot key that the UI application does not confirm within 3 s
// makes the guard command the autopilot to standby itself and sound an alarm.
#include <limits.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alarm/output_check.h"
#include "can/autopilot.h"
#include "can/can_hal.h"
#include "common/log_line.h"
#include "common/run_files.h"
#include "guard/control/control_socket.h"
#include "guard/episode/episode_log.h"
#include "guard/guard.h"
#include "guard/keypad/key_device.h"
#include "guard/startup/command_line.h"
#include "guard/startup/published_config.h"
#include "guard/startup/startup.h"
#include "guard/supervision/supervision.h"
#include "recorder/flight_recorder.h"

namespace {

// The flight recorder beside the socket: its memory taken and locked now,
// never later. A folder on a disk is said by the status file's line.
void StartFlights(const char* socket_path) {
  char folder[PATH_MAX];
  if (!PathBeside(socket_path, kFlightFolderSuffix, folder, sizeof folder)) return;
  switch (StartFlightRecorder(folder, kFlightEntries)) {
    case FlightStarted:
    case FlightNotOnMemory:
      break;
    case FlightNotLocked:
      LogLine("Flight recorder's memory could not be locked (%s): a page fault may delay it\n",
              std::strerror(errno));
      break;
    case FlightNoFolder:
    case FlightNoMemory:
      LogLine("No flight recorder in %s: %s\n", folder, std::strerror(errno));
      break;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  KeepStandardDescriptorsOpen();
  // Before anything the loop writes: from then on no line waits.
  StartLogLines();
  const char* key_device_path = ParseCommandLine(argc, argv);
  const AlarmOutput alarm_output = ReadAlarmOutput(guard_config.alarm_type, guard_config.alarm_options);
  if (CheckAlarmOutput(alarm_output) != 0) std::exit(1);
  SetAlarmOutput(alarm_output);

  const int key_fd = OpenKeyDevice(key_device_path);
  if (key_fd == kKeyDeviceNotInput) {
    std::fprintf(stderr, "%s is not an input event device\n", key_device_path);
    std::exit(1);
  }
  if (key_fd < 0) {
    std::fprintf(stderr, "Unable to open %s\n", key_device_path);
    std::exit(1);
  }

  // Before the bus is touched: a second start must leave a running guard's
  // bus alone. The lock is held until the process ends.
  const bool owns_socket_path = ClaimControlSocketPath(guard_config.socket_name) >= 0;

  // The rest of the bus's traffic never wakes the guard; its own commands
  // come back as they reach the bus, for the record and the flights.
  ReceiveApStatusAndStandbyCommands();
  int can_fd = -1;
  const bool can_up = StartCanBus(&can_fd) == 0;
  if (!can_up) LogLine("CAN failed to initialize\n");

  const bool privileged = RaisePriority() == 0;
  if (!privileged) LogLine("Lack proper privileges\n");

  // The socket is offered only when the bus is up and the priority raised.
  // Without it no press can be confirmed, so every short press runs the full
  // time-out path.
  const int listen_fd = can_up && privileged ? OpenControlSocket(guard_config.socket_name) : -1;

  StartSupervision(owns_socket_path ? guard_config.socket_name : nullptr, guard_config.alarm_type,
                   hal_channels[0].ifname);
  StartEpisodeLog(owns_socket_path ? guard_config.socket_name : nullptr, guard_config.alarm_type);
  // What this guard runs with, beside its status file, for helmwatch-ctl
  // check; before -d's move to /, which a relative path would not survive.
  if (owns_socket_path) {
    (void)PublishConfig(guard_config.socket_name, key_device_path, guard_config.alarm_type,
                        guard_config.alarm_options);
    StartFlights(guard_config.socket_name);
  }

  if (guard_config.daemonize) Daemonize();

  (void)std::signal(SIGPIPE, SIG_IGN);

  // After the fork of -d, which a memory lock does not survive.
  if (privileged) LockMemory();

  NotifyReady();
  RunGuardLoop(key_fd, can_fd, listen_fd);
}
