// What the service manager, the status file and the journal learn of the
// guard: the notification socket is a real datagram socket of the test's,
// the status file a real file; the loop's variables and its neighbours'
// answers are set by hand, the facts gathered from them as the loop does,
// and time is handed in, so each step is exact.
#include "guard/supervision/supervision.h"

#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "can/autopilot.h"
#include "can/can_hal.h"
#include "common/monotonic_time.h"
#include "guard/supervision/change_lines.h"
#include "guard/loop/guard_loop.h"
#include "guard/supervision/supervision_timer.h"
#include "guard/tests/recording_neighbours.h"
#include "guard/tests/test_io.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Every datagram waiting on fd, without waiting.
std::vector<std::string> Datagrams(int fd) {
  std::vector<std::string> all;
  char buffer[512];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
    all.emplace_back(buffer, static_cast<size_t>(got));
  }
  return all;
}

timespec At(double seconds) {
  const auto whole = static_cast<time_t>(seconds);
  return {whole, static_cast<long>((seconds - static_cast<double>(whole)) * kNanosecondsPerSecond)};
}

void Supervise(const GuardLoop& loop, timespec now) { Supervise(GuardStatusFacts(&loop, now), now); }

// One scenario, from the start as in the daemon.
TEST(Supervision, ReportsReadinessWatchdogAndEveryChangeOnce) {
  const std::string dir = MakeMemoryFolder("helmwatch-supervision");
  ASSERT_FALSE(dir.empty());
  const std::string notify_path = dir + "/notify";
  const int manager = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  notify_path.copy(address.sun_path, sizeof address.sun_path - 1);
  // cppcheck-suppress resourceLeak ; a failed assertion ends the test's process
  ASSERT_EQ(bind(manager, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", notify_path.c_str(), 1);
  setenv("WATCHDOG_USEC", "2000000", 1);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);

  ResetNeighbours();
  ResetChangeLines();
  StartSupervision((dir + "/control").c_str(), AlarmSpeaker, "can0");
  NotifyReady();
  GuardLoop loop = NewGuardLoop(5, -1, 6);
  loop.client_fd = 7;

  // The first pass: the watchdog is due at once, and the whole status.
  testing::internal::CaptureStderr();
  timespec now = At(100);
  Supervise(loop, now);
  const std::string idle =
      "guard idle; keypad present; CAN up; autopilot not heard, no command source; UI connected; "
      "alarm speaker";
  EXPECT_EQ(Datagrams(manager),
            (std::vector<std::string>{"READY=1", "WATCHDOG=1", "STATUS=" + idle}));
  EXPECT_EQ(ReadFile(dir + "/control.status"), idle + "\n");

  // Nothing changed and no tick: nothing sent. The timer ticks at half the
  // watchdog's time-out, at most a second apart.
  now = At(100.5);
  Supervise(loop, now);
  EXPECT_TRUE(Datagrams(manager).empty());
  const int timer = SupervisionTimerFd();
  ASSERT_GE(timer, 0);
  itimerspec ticks = {};
  ASSERT_EQ(timerfd_gettime(timer, &ticks), 0);
  EXPECT_EQ(ticks.it_interval.tv_sec, 1);
  EXPECT_EQ(ticks.it_interval.tv_nsec, 0);
  ServeSupervisionTimer();

  // The autopilot is heard; the keypad goes, the bus goes down.
  autopilot_address = 3;
  command_source_address = 35;
  neighbour_ap_presence = ApHeard;
  neighbour_ap_last_heard = At(101);
  loop.key_fd = -1;
  loop.guard.state = GuardAlarming;
  neighbour_link_state = HalLinkDown;
  now = At(101);
  Supervise(loop, now);
  EXPECT_EQ(Datagrams(manager),
            (std::vector<std::string>{"WATCHDOG=1",
                                      "STATUS=guard alarming; keypad gone; CAN down; autopilot 3, "
                                      "command source 35; UI connected; alarm speaker"}));

  // Five seconds without a status: silent, once; then heard again. A bus
  // that comes back, a controller that goes bus-off.
  loop.key_fd = 5;
  loop.guard.state = GuardIdle;
  loop.client_fd = -1;
  neighbour_link_state = HalLinkUp;
  now = At(105.9);
  ServeSupervisionTimer();
  Supervise(loop, now);
  now = At(106);
  neighbour_ap_presence = ApSilent;
  Supervise(loop, now);
  Supervise(loop, now);
  const std::vector<std::string> silent = Datagrams(manager);
  ASSERT_EQ(silent.size(), 3u);
  EXPECT_EQ(silent[2].rfind("STATUS=guard idle; keypad present; CAN up; autopilot 3 silent since ", 0), 0u)
      << silent[2];
  neighbour_ap_presence = ApHeard;
  neighbour_link_state = HalLinkBusOff;
  Supervise(loop, now);
  EXPECT_EQ(ReadFile(dir + "/control.status"),
            "guard idle; keypad present; CAN bus-off; autopilot 3, command source 35; no UI; alarm "
            "speaker\n");

  // A link that flaps: the fourth line of the minute is the last written,
  // the rest are held and told in one line once the minute is over.
  for (const double at : {107.0, 108.0, 109.0, 110.0}) {
    neighbour_link_state = neighbour_link_state == HalLinkUp ? HalLinkBusOff : HalLinkUp;
    now = At(at);
    Supervise(loop, now);
  }
  now = At(160.9);
  neighbour_ap_presence = ApSilent;  // its last status came at 106
  neighbour_ap_last_heard = At(106);
  Supervise(loop, now);
  now = At(161.1);
  Supervise(loop, now);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "CAN interface can0 is down\n"
            "CAN bus can0 is up again\n"
            "No autopilot status heard for 5 s\n"
            "CAN controller can0 is bus-off\n"
            "Autopilot status heard again\n"
            "CAN bus can0 is up again\n"
            "No autopilot status heard for 5 s\n"
            "CAN controller can0 is bus-off (the latest of 3 changes in 60 s not shown one by one)\n");

  close(manager);
  std::filesystem::remove_all(dir);
}

}  // namespace
