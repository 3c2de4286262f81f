// helmwatch-autopilot: an autopilot on a CAN interface for bench tests.
//
// Broadcasts the status message (kind 10 from the autopilot address with its
// standby bit, kind 11 from the command source address) every period, and
// writes one line per event, stamped with CLOCK_MONOTONIC seconds:
//   T ready                      status broadcasting has begun
//   T rx ID LEN BYTES...          every frame received, at the kernel's
//                                 receive time
//   T command SEQ source S target A   a whole, well-formed standby command
//   T malformed WHAT              a command frame that breaks the format
//   T standby                     the autopilot has switched to standby
//   T auto                        it has left standby again
#include <getopt.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench/autopilot_sim.h"

namespace {

constexpr char kUsage[] =
    "Usage: helmwatch-autopilot [OPTIONS]\n"
    "  -i, --interface=NAME         CAN interface (default can1)\n"
    "  -a, --address=N              the autopilot's source address (default 3)\n"
    "  -c, --command-source=N       source address named by kind 11 (default 35)\n"
    "  -n, --no-command-source      never send kind 11\n"
    "  -s, --standby                report standby from the start\n"
    "  -S, --standby-at=MS          switch to standby MS after start\n"
    "  -C, --standby-on-command=MS  switch to standby MS after the first command\n"
    "  -F, --standby-for=MS         leave standby again after MS\n"
    "  -p, --period=MS              status period (default 100)\n"
    "  -d, --duration=S             end after S seconds (default: at SIGTERM)\n"
    "  -o, --log=FILE               write events to FILE (default standard output)\n";

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

struct Options {
  const char* interface = "can1";
  int address = 3;
  int command_source = 35;
  bool send_command_source = true;
  bool standby = false;
  double standby_at_ms = -1;
  double standby_after_command_ms = -1;
  double standby_for_ms = -1;
  double period_ms = 100;
  double duration_s = -1;
  const char* log = nullptr;
};

bool ParseNumber(const char* text, double low, double high, double* value) {
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(number >= low && number <= high)) return false;
  *value = number;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  static const option kLong[] = {
      {"interface", required_argument, nullptr, 'i'},
      {"address", required_argument, nullptr, 'a'},
      {"command-source", required_argument, nullptr, 'c'},
      {"no-command-source", no_argument, nullptr, 'n'},
      {"standby", no_argument, nullptr, 's'},
      {"standby-at", required_argument, nullptr, 'S'},
      {"standby-on-command", required_argument, nullptr, 'C'},
      {"standby-for", required_argument, nullptr, 'F'},
      {"period", required_argument, nullptr, 'p'},
      {"duration", required_argument, nullptr, 'd'},
      {"log", required_argument, nullptr, 'o'},
      {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "i:a:c:nsS:C:F:p:d:o:", kLong, nullptr)) != -1;) {
    double number = 0;
    bool ok = true;
    switch (c) {
      case 'i': options->interface = optarg; break;
      case 'a':
        ok = ParseNumber(optarg, 0, 255, &number);
        options->address = static_cast<int>(number);
        break;
      case 'c':
        ok = ParseNumber(optarg, 0, 255, &number);
        options->command_source = static_cast<int>(number);
        break;
      case 'n': options->send_command_source = false; break;
      case 's': options->standby = true; break;
      case 'S': ok = ParseNumber(optarg, 0, 1e9, &options->standby_at_ms); break;
      case 'C': ok = ParseNumber(optarg, 0, 1e9, &options->standby_after_command_ms); break;
      case 'F': ok = ParseNumber(optarg, 0, 1e9, &options->standby_for_ms); break;
      case 'p': ok = ParseNumber(optarg, 1, 1e6, &options->period_ms); break;
      case 'd': ok = ParseNumber(optarg, 0, 1e6, &options->duration_s); break;
      case 'o': options->log = optarg; break;
      default: return false;
    }
    if (!ok) {
      std::fprintf(stderr, "helmwatch-autopilot: bad value '%s' for -%c\n", optarg, c);
      return false;
    }
  }
  return optind == argc;
}

int OpenCan(const char* interface) {
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) {
    perror("socket()");
    return -1;
  }
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface);
  if (ioctl(fd, SIOCGIFINDEX, &request) < 0) {
    std::fprintf(stderr, "helmwatch-autopilot: no CAN interface %s\n", interface);
    close(fd);
    return -1;
  }
  // Frames are stamped when the kernel receives them, not when this process
  // gets the CPU: on a bench this process may share one CPU with the
  // daemon, whose real-time alarm child runs first.
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0)
    perror("setsockopt(SO_TIMESTAMPNS)");
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = request.ifr_ifindex;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    perror("bind()");
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one frame; returns its receive time in CLOCK_MONOTONIC seconds, or
// -1 when no whole frame was read. The kernel stamps with the real-time
// clock: the frame's age on that clock is taken off the monotonic time now.
double Receive(int fd, can_frame* frame) {
  iovec data{frame, sizeof *frame};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (recvmsg(fd, &message, 0) != static_cast<ssize_t>(sizeof *frame)) return -1;
  const double now = MonotonicSeconds();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const double age = static_cast<double>(real.tv_sec - stamp.tv_sec) +
                       static_cast<double>(real.tv_nsec - stamp.tv_nsec) / 1e9;
    return now - std::fmax(0, age);
  }
  return now;
}

void Send(int fd, const SimFrame& frame) {
  can_frame out{};
  out.can_id = frame.id | CAN_EFF_FLAG;
  out.can_dlc = frame.length;
  std::memcpy(out.data, frame.data, sizeof out.data);
  // A full transmit queue only delays the next status; nothing to retry.
  if (write(fd, &out, sizeof out) < 0 && errno != ENOBUFS && errno != EAGAIN) perror("write()");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  FILE* log = options.log ? std::fopen(options.log, "w") : stdout;
  if (log == nullptr) {
    perror(options.log);
    return 1;
  }
  const int fd = OpenCan(options.interface);
  if (fd < 0) return 1;
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const double start = MonotonicSeconds();
  const double end = options.duration_s >= 0 ? start + options.duration_s : INFINITY;
  double standby_at = options.standby_at_ms >= 0 ? start + options.standby_at_ms / 1000 : INFINITY;
  bool standby = options.standby;
  double leave_at = INFINITY;
  bool commanded = false;
  double next_status = start;
  CommandAssembler assembler;
  std::fprintf(log, "%.6f ready\n", start);
  std::fflush(log);

  while (!stop_requested) {
    double now = MonotonicSeconds();
    if (now >= end) break;
    if (!standby && now >= standby_at) {
      standby = true;
      standby_at = INFINITY;
      std::fprintf(log, "%.6f standby\n", now);
      std::fflush(log);
      next_status = now;  // report the switch at once, as an autopilot does
      if (options.standby_for_ms >= 0) leave_at = now + options.standby_for_ms / 1000;
    }
    if (standby && now >= leave_at) {
      // Back under way; a further switch needs a new command.
      standby = false;
      leave_at = INFINITY;
      commanded = false;
      std::fprintf(log, "%.6f auto\n", now);
      std::fflush(log);
      next_status = now;
    }
    if (now >= next_status) {
      Send(fd, StatusFrame(static_cast<uint8_t>(options.address), 10, standby));
      if (options.send_command_source)
        Send(fd, StatusFrame(static_cast<uint8_t>(options.command_source), 11, false));
      next_status += options.period_ms / 1000;
      if (next_status < now) next_status = now + options.period_ms / 1000;
    }
    const double wake = std::fmin(std::fmin(next_status, standby ? leave_at : standby_at), end);
    pollfd ready{fd, POLLIN, 0};
    const int wait_ms = static_cast<int>(std::ceil(std::fmax(0, wake - MonotonicSeconds()) * 1000));
    if (poll(&ready, 1, wait_ms) <= 0) continue;
    can_frame in{};
    now = Receive(fd, &in);
    if (now < 0) continue;
    SimFrame frame{in.can_id & CAN_EFF_MASK, in.can_dlc, {}};
    std::memcpy(frame.data, in.data, sizeof frame.data);
    std::fprintf(log, "%.6f rx %08X %u", now, static_cast<unsigned>(frame.id), frame.length);
    for (int i = 0; i < frame.length && i < 8; ++i) std::fprintf(log, " %02X", frame.data[i]);
    std::fputc('\n', log);
    StandbyCommand command{};
    std::string problem;
    switch (AddCommandFrame(&assembler, frame, &command, &problem)) {
      case CommandComplete:
        std::fprintf(log, "%.6f command %u source %u target %u\n", now, command.sequence,
                     command.source, command.target);
        if (!commanded && options.standby_after_command_ms >= 0)
          standby_at = std::fmin(standby_at, now + options.standby_after_command_ms / 1000);
        commanded = true;
        break;
      case CommandMalformed: std::fprintf(log, "%.6f malformed %s\n", now, problem.c_str()); break;
      case CommandNotOurs:
      case CommandIncomplete: break;
    }
    std::fflush(log);
  }
  // The log is the record a test reads: a line lost to a failed write shows
  // here at the latest.
  if (std::fclose(log) != 0) {
    std::perror(options.log != nullptr ? options.log : "standard output");
    return 1;
  }
  return 0;
}
