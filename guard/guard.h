// The guard daemon: its configuration and the loop it lives in.
#pragma once

#include "alarm/alarm.h"
#include "helmwatch_protocol.h"

// The whole configuration, filled once from the command line and read-only
// afterwards. The texts point into the process's argument vector.
struct GuardConfig {
  int daemonize;
  const char* socket_name;
  AlarmType alarm_type;
  const char* alarm_options;  // null when -o was not given
};

inline constexpr const char* kDefaultSocketName = HELMWATCH_DEFAULT_SOCKET;

extern GuardConfig guard_config;

// Serves the key device, the CAN socket and the control socket and runs the
// guard over them. can_socket_fd is the CAN layer's receive socket as
// start-up left it (the layer replaces it only while configuring the bus),
// -1 when there is none; listen_fd is -1 when start-up opened no control
// socket. Never returns; select is asked again when interrupted, and any
// other failure of it ends the process with status 1.
[[noreturn]] void RunGuardLoop(int key_fd, int can_socket_fd, int listen_fd);
