// The guard state machine driven pass by pass: the key device is a pipe (or a
// FIFO where its loss matters), the control clients are real UNIX stream
// sockets and the CAN descriptor is a pipe; the CAN link and the alarm are
// the recorders of recording_neighbours. Time-outs are passes with select's
// result 0; time left until the deadline is set by moving the deadline.
#include "guard/guard_loop.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "can/can_hal.h"
#include "common/monotonic_time.h"
#include "guard/change_lines.h"
#include "guard/control_socket.h"
#include "guard/key_device.h"
#include "guard/key_input.h"
#include "guard/tests/recording_neighbours.h"
#include "guard/tests/test_io.h"

namespace {

using Calls = std::vector<std::string>;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr int kKeyDown = 1;
constexpr int kKeyUp = 0;

void WriteKeyEvent(int fd, uint16_t type, uint16_t code, int32_t value) {
  ASSERT_TRUE(WriteInputEvent(fd, type, code, value));
}

void WriteKey(int fd, int32_t value, uint16_t code = KEY_A) {
  WriteKeyEvent(fd, EV_KEY, code, value);
}

void SendByte(int fd, uint8_t byte) { ASSERT_EQ(send(fd, &byte, 1, MSG_NOSIGNAL), 1); }

// What a client finds waiting for it, without waiting itself.
struct Received {
  std::string bytes;
  bool closed = false;  // end of file or a reset: the daemon has let it go
};

Received ReceiveAll(int fd) {
  Received got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      got.bytes.append(buffer, static_cast<size_t>(n));
      continue;
    }
    got.closed = n == 0 || errno != EAGAIN;  // EWOULDBLOCK is EAGAIN on Linux
    return got;
  }
}

bool IsTimeout(const timeval& t, time_t seconds, suseconds_t microseconds) {
  return t.tv_sec == seconds && t.tv_usec == microseconds;
}

int64_t Nanoseconds(const timespec& t) { return TimespecNanoseconds(t); }

int Count(const Calls& calls, const std::string& call) {
  int n = 0;
  for (const std::string& c : calls) n += c == call ? 1 : 0;
  return n;
}

class GuardLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetNeighbours();
    // The change lines' windows are the process's: each test starts with
    // them as at start-up.
    ResetChangeLines();
    char pattern[] = "/tmp/guard_loop_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    socket_path_ = dir_ + "/control";
    int key[2];
    ASSERT_EQ(pipe2(key, O_NONBLOCK), 0);
    key_read_ = key[0];
    key_write_ = key[1];
    int can[2];
    ASSERT_EQ(pipe2(can, O_NONBLOCK), 0);
    can_read_ = can[0];
    can_write_ = can[1];
    neighbour_can_fd = can_read_;
    listen_fd_ = OpenControlSocket(socket_path_.c_str());
    loop_ = NewGuardLoop(key_read_, can_read_, listen_fd_);
  }

  void TearDown() override {
    ResetNeighbours();
    for (int fd : {key_read_, key_write_, can_read_, can_write_, listen_fd_, loop_.client_fd}) {
      if (fd >= 0) close(fd);
    }
    for (int fd : clients_) close(fd);
    std::filesystem::remove_all(dir_);
  }

  // One wake-up pass over whatever is ready right now, found by a real
  // select that does not wait and does not touch the loop's record.
  void Pass() {
    fd_set ready;
    const int count = FillGuardSelectSet(&loop_, &ready);
    timeval no_wait = {0, 0};
    const int result = select(count, &ready, nullptr, nullptr, &no_wait);
    ASSERT_GT(result, 0) << "nothing was ready for a wake-up pass";
    const timespec now = MonotonicNow();
    RunGuardPass(&loop_, result, &ready, &now);
  }

  // A pass in which select ran out of time; the deadline it ran out at is
  // kept for IntervalArmed.
  void TimeOut() {
    deadline_before_ = loop_.guard.deadline;
    fd_set empty;
    FD_ZERO(&empty);
    const timespec now = MonotonicNow();
    RunGuardPass(&loop_, 0, &empty, &now);
  }

  // Leaves this much of the window or interval: 0 makes it due.
  void SetTimeLeft(long long microseconds) {
    loop_.guard.deadline = AddMicroseconds(MonotonicNow(), microseconds);
    deadline_before_ = loop_.guard.deadline;
  }

  // The next interval is armed where the one that ran out ended (the test's
  // passes come long before a stall could move it).
  bool IntervalArmed() const {
    return loop_.guard.timeout_armed == 1 &&
           Nanoseconds(loop_.guard.deadline) ==
               Nanoseconds(deadline_before_) + kStandbyIntervalMicroseconds * 1000;
  }

  // The window or interval runs on to where it ended before.
  bool DeadlineKept() const {
    return loop_.guard.timeout_armed == 1 &&
           Nanoseconds(loop_.guard.deadline) == Nanoseconds(deadline_before_);
  }

  // A three-second window opened in the last pass.
  bool WindowArmed() const {
    const long long left = MicrosecondsBetween(MonotonicNow(), loop_.guard.deadline);
    return loop_.guard.timeout_armed == 1 && left > 0 &&
           left <= kConfirmWindowSeconds * kMicrosecondsPerSecond;
  }

  // A CAN frame arrives and wakes the loop.
  void CanWakeUp() {
    ASSERT_EQ(write(can_write_, "f", 1), 1);
    Pass();
  }

  // Key down and key up at once, each read in a pass of its own.
  void ShortPress(int key_writer) {
    WriteKey(key_writer, kKeyDown);
    Pass();
    WriteKey(key_writer, kKeyUp);
    Pass();
  }
  void ShortPress() { ShortPress(key_write_); }

  // Connects a client; the loop has not accepted it yet.
  int Connect() {
    const int fd = ConnectControlClient(socket_path_);
    EXPECT_GE(fd, 0);
    clients_.push_back(fd);
    return fd;
  }

  // Connects a client and lets the loop accept it.
  int ConnectAccepted() {
    const int fd = Connect();
    Pass();
    EXPECT_GE(loop_.client_fd, 0);
    return fd;
  }

  void SendAndPass(int client, uint8_t byte) {
    SendByte(client, byte);
    Pass();
  }

  void CloseClient(int fd) {
    std::erase(clients_, fd);
    close(fd);
  }

  // Press, window time-out, first standby command: GuardStandbySent.
  void EnterStandbySent() {
    ShortPress();
    TimeOut();
    ASSERT_EQ(loop_.guard.state, GuardStandbySent);
  }

  // A whole unconfirmed press with no standby report; the calls it made.
  Calls RunUnansweredEpisode() {
    neighbour_calls.clear();
    ShortPress();
    for (int i = 0; i < 20 && loop_.guard.timeout_armed; ++i) TimeOut();
    return neighbour_calls;
  }

  std::string dir_;
  std::string socket_path_;
  int key_read_ = -1;
  int key_write_ = -1;
  int can_read_ = -1;
  int can_write_ = -1;
  int listen_fd_ = -1;
  std::vector<int> clients_;
  GuardLoop loop_ = {};
  timespec deadline_before_ = {};
};

// ---------------------------------------------------------------------------
// The transition table, row by row.

TEST_F(GuardLoopTest, EntersIdleWithNothingArmedAndNoClient) {
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  timeval left;
  const timespec now = MonotonicNow();
  EXPECT_EQ(GuardSelectTimeout(&loop_, &now, &left), nullptr);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_FALSE(loop_.guard.ping_standing || loop_.guard.confirmation);
  EXPECT_EQ(loop_.client_fd, -1);
  EXPECT_EQ(loop_.key_fd, key_read_);
  EXPECT_EQ(loop_.listen_fd, listen_fd_);
}

TEST_F(GuardLoopTest, IdleWakeUpWithoutPressChangesNothing) {
  CanWakeUp();
  WriteKey(key_write_, kKeyDown);
  Pass();
  WriteKeyEvent(key_write_, EV_SYN, SYN_REPORT, 0);
  Pass();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_THAT(neighbour_calls, ElementsAre("drain"));
}

TEST_F(GuardLoopTest, IdleShortPressArmsThreeSecondWindow) {
  ShortPress();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
  EXPECT_TRUE(WindowArmed());
  EXPECT_THAT(neighbour_calls, IsEmpty());
}

TEST_F(GuardLoopTest, IdlePingIsEchoedAndAPressInTheSamePassStillOpensTheWindow) {
  const int client = ConnectAccepted();
  SendAndPass(client, ControlPing);
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(1, '\1'));
  WriteKey(key_write_, kKeyDown);
  Pass();
  WriteKey(key_write_, kKeyUp);
  Pass();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
  EXPECT_TRUE(WindowArmed());
  // One echo for the key-down pass and one for the pass that opened the window.
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(2, '\1'));
}

TEST_F(GuardLoopTest, TimeOutInIdleIsReportedAndChangesNothing) {
  testing::internal::CaptureStderr();
  TimeOut();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Timed out in an expected state 0\n");
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_THAT(neighbour_calls, IsEmpty());
}

TEST_F(GuardLoopTest, ConfirmationInsideTheWindowDisarmsWithNothingSent) {
  const int client = ConnectAccepted();
  ShortPress();
  SetTimeLeft(100000);  // 2.9 s after the press
  SendAndPass(client, ControlConfirm);
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_FALSE(loop_.guard.confirmation) << "used up by the press it confirmed";
  EXPECT_THAT(neighbour_calls, IsEmpty());
  EXPECT_THAT(ReceiveAll(client).bytes, IsEmpty());
}

TEST_F(GuardLoopTest, WindowRunsOnThroughOtherBytesPressesAndFrames) {
  const int client = ConnectAccepted();
  ShortPress();
  neighbour_ap_standby = 1;  // a status in the window changes nothing
  SetTimeLeft(1500000);
  SendAndPass(client, ControlPing);
  SendAndPass(client, 7);
  ShortPress();  // a second short press neither restarts nor extends the window
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
  EXPECT_TRUE(DeadlineKept());
  EXPECT_THAT(neighbour_calls, ElementsAre("drain"));  // nothing sent, nothing sounded
  EXPECT_THAT(ReceiveAll(client).bytes, IsEmpty());    // a 1 gets no answer here

  // A wake-up that finds the window used up runs its time-out there and
  // then, as a select that ran out would have.
  SetTimeLeft(0);
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_TRUE(IntervalArmed());
  EXPECT_THAT(neighbour_calls, ElementsAre("drain", "drain", "standby"));
}

TEST_F(GuardLoopTest, WindowTimeOutSendsOneStandbyAndArmsTheInterval) {
  ShortPress();
  TimeOut();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_TRUE(IntervalArmed());
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_THAT(neighbour_calls, ElementsAre("standby"));
}

TEST_F(GuardLoopTest, StandbyReportedAfterFirstCommandClearsWithoutWarning) {
  EnterStandbySent();
  neighbour_ap_standby = 1;
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_THAT(neighbour_calls, ElementsAre("standby", "drain", "cleared 1"));
}

TEST_F(GuardLoopTest, SendingStateWakeUpKeepsTheIntervalsEnd) {
  EnterStandbySent();
  SetTimeLeft(120000);
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_TRUE(DeadlineKept());
  EXPECT_THAT(neighbour_calls, ElementsAre("standby", "drain"));
}

// On a busy bus a wake-up can come when the interval has just run out; the
// command due then goes out in that pass, neither postponed nor starved.
TEST_F(GuardLoopTest, WakeUpFindingNoTimeLeftRunsTheDueTimeOut) {
  EnterStandbySent();
  SetTimeLeft(0);
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardAlarming);
  EXPECT_EQ(loop_.guard.retry_count, 1);
  EXPECT_TRUE(IntervalArmed());
  EXPECT_THAT(neighbour_calls,
              ElementsAre("standby", "drain", "standby", "warning 13"));

  // A standby report in the same pass wins: cleared, nothing more sent.
  neighbour_ap_standby = 1;
  SetTimeLeft(0);
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(Count(neighbour_calls, "standby"), 2);
  EXPECT_EQ(neighbour_calls.back(), "cleared 1");
}

TEST_F(GuardLoopTest, IntervalTimeOutStartsTheWarningThenRepeatsTheCommand) {
  EnterStandbySent();
  TimeOut();
  EXPECT_EQ(loop_.guard.state, GuardAlarming);
  EXPECT_EQ(loop_.guard.retry_count, 1);
  EXPECT_TRUE(IntervalArmed());
  // The command goes out before the alarm child is forked.
  EXPECT_THAT(neighbour_calls, ElementsAre("standby", "standby", "warning 13"));
}

TEST_F(GuardLoopTest, AlarmingStandbyReportClearsAndResetsTheCount) {
  EnterStandbySent();
  TimeOut();
  TimeOut();
  SetTimeLeft(80000);
  CanWakeUp();  // no report yet: the interval runs on
  EXPECT_EQ(loop_.guard.state, GuardAlarming);
  EXPECT_TRUE(DeadlineKept());
  neighbour_ap_standby = 1;
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_THAT(neighbour_calls, ElementsAre("standby", "standby", "warning 13", "standby", "drain",
                                           "drain", "cleared 1"));
}

// ---------------------------------------------------------------------------
// Deadlines: what select is given, from the monotonic clock.

TEST_F(GuardLoopTest, SelectIsGivenWhatIsLeftRoundedUpAndZeroOncePast) {
  struct Case {
    timespec now;
    timespec deadline;
    timeval left;
  };
  const Case cases[] = {
      {{99, 0}, {100, 500}, {1, 1}},  // never short of the deadline
      {{99, 999999999}, {100, 500}, {0, 1}},
      {{99, 400}, {100, 0}, {1, 0}},  // 999999.6 us rounds up to a whole second
      {{100, 0}, {100, 0}, {0, 0}},
      {{250, 0}, {100, 0}, {0, 0}},
  };
  loop_.guard.timeout_armed = 1;
  for (const Case& c : cases) {
    loop_.guard.deadline = c.deadline;
    timeval left = {7, 7};
    EXPECT_EQ(GuardSelectTimeout(&loop_, &c.now, &left), &left);
    EXPECT_TRUE(IsTimeout(left, c.left.tv_sec, c.left.tv_usec)) << c.now.tv_sec << "." << c.now.tv_nsec;
  }
  loop_.guard.timeout_armed = 0;  // nothing armed: select waits without a limit
  timeval left = {7, 7};
  EXPECT_EQ(GuardSelectTimeout(&loop_, &cases[0].now, &left), nullptr);
  EXPECT_TRUE(IsTimeout(left, 7, 7));
}

TEST_F(GuardLoopTest, WindowEndsThreeSecondsAfterThePressAndIntervalsFollowOnFromIt) {
  const int64_t before = Nanoseconds(MonotonicNow());
  ShortPress();
  const int64_t after = Nanoseconds(MonotonicNow());
  const int64_t window_end = Nanoseconds(loop_.guard.deadline);
  EXPECT_GE(window_end, before + 3000000000);
  EXPECT_LE(window_end, after + 3000000000);
  // Time-outs handled early or late do not move the later deadlines: each
  // interval starts where the one before it ended.
  for (int k = 1; k <= 3; ++k) {
    TimeOut();
    EXPECT_EQ(Nanoseconds(loop_.guard.deadline), window_end + k * 250000000LL) << "interval " << k;
  }
}

TEST_F(GuardLoopTest, IntervalAfterAStallStartsNowInsteadOfCatchingUp) {
  EnterStandbySent();
  loop_.guard.deadline = {0, 0};  // the deadline lies far behind: the process was stopped
  const int64_t before = Nanoseconds(MonotonicNow());
  TimeOut();
  const int64_t after = Nanoseconds(MonotonicNow());
  EXPECT_GE(Nanoseconds(loop_.guard.deadline), before + 250000000);
  EXPECT_LE(Nanoseconds(loop_.guard.deadline), after + 250000000);
  EXPECT_TRUE(IsBefore(MonotonicNow(), loop_.guard.deadline)) << "the next command is not due at once";
}

// ---------------------------------------------------------------------------
// Whole episodes.

TEST_F(GuardLoopTest, UnansweredPressGetsEightCommandsOneWarningAndGivesUp) {
  ShortPress();
  TimeOut();
  for (int32_t retry = 1; retry < kStandbyRetryLimit; ++retry) {
    TimeOut();
    EXPECT_EQ(loop_.guard.state, GuardAlarming);
    EXPECT_EQ(loop_.guard.retry_count, retry);
    EXPECT_TRUE(IntervalArmed());
  }
  EXPECT_EQ(Count(neighbour_calls, "standby"), 8);
  TimeOut();  // the eighth interval runs out: no further command, no cleared
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  Calls expected(9, "standby");
  expected[2] = "warning 13";
  EXPECT_EQ(neighbour_calls, expected);
}

TEST_F(GuardLoopTest, EveryEpisodeGetsTheFullEightCommands) {
  const Calls first = RunUnansweredEpisode();
  EXPECT_EQ(Count(first, "standby"), 8);
  EXPECT_EQ(loop_.guard.state, GuardIdle);

  // An episode that ends early through a standby report...
  EnterStandbySent();
  TimeOut();
  TimeOut();
  neighbour_ap_standby = 1;
  CanWakeUp();
  ASSERT_EQ(loop_.guard.state, GuardIdle);
  neighbour_ap_standby = 0;

  // ...leaves no count behind for the next one.
  const Calls next = RunUnansweredEpisode();
  EXPECT_EQ(Count(next, "standby"), 8);
  EXPECT_EQ(Count(next, "warning 13"), 1);
  EXPECT_EQ(Count(next, "cleared 1"), 0);
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.retry_count, 0);
}

TEST_F(GuardLoopTest, StandbyReportedBeforeThePressEndsAtTheFirstWakeUpAfterTheCommand) {
  neighbour_ap_standby = 1;
  CanWakeUp();
  ShortPress();
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);  // the status counts only when sending
  TimeOut();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_THAT(neighbour_calls,
              ElementsAre("drain", "drain", "standby", "drain", "cleared 1"));
}

TEST_F(GuardLoopTest, ConfirmationAfterTheWindowChangesNothing) {
  const int client = ConnectAccepted();
  EnterStandbySent();
  SetTimeLeft(200000);
  SendAndPass(client, ControlConfirm);
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_TRUE(DeadlineKept());
  TimeOut();
  EXPECT_EQ(loop_.guard.state, GuardAlarming);
  SendAndPass(client, ControlConfirm);
  EXPECT_EQ(loop_.guard.state, GuardAlarming);
  EXPECT_THAT(neighbour_calls,
              ElementsAre("standby", "standby", "warning 13"));
}

// ---------------------------------------------------------------------------
// The control client.

// A 2 confirms the press it was sent for: the one in its window, or the one
// whose key went down before it was read (the UI acting on the key-down).
TEST_F(GuardLoopTest, AConfirmationCountsOnlyForThePressItWasSentFor) {
  const int client = ConnectAccepted();
  // Sent ahead, between the key-down and the key-up: that press is confirmed.
  WriteKey(key_write_, kKeyDown);
  Pass();
  SendAndPass(client, ControlConfirm);
  WriteKey(key_write_, kKeyUp);
  Pass();
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_FALSE(loop_.guard.confirmation) << "used up by the press it confirmed";

  // Too late for the next press: used up by the episode it missed, which
  // runs on.
  ShortPress();
  TimeOut();
  SendAndPass(client, ControlConfirm);
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_FALSE(loop_.guard.confirmation);
  while (loop_.guard.timeout_armed) TimeOut();

  // A stray 2 while idle, then a silent UI: the next press runs its course.
  SendAndPass(client, ControlConfirm);
  ShortPress();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
  WriteKeyEvent(key_write_, EV_SYN, SYN_REPORT, 0);
  Pass();
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
  TimeOut();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_THAT(ReceiveAll(client).bytes, IsEmpty());
}

TEST_F(GuardLoopTest, PingIsAnsweredAtEveryIdleWakeUpButNotDuringTheWindow) {
  const int client = ConnectAccepted();
  SendAndPass(client, ControlPing);
  for (int i = 0; i < 4; ++i) CanWakeUp();
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(5, '\1'));
  EXPECT_TRUE(loop_.guard.ping_standing);

  WriteKey(key_write_, kKeyDown);
  Pass();
  WriteKey(key_write_, kKeyUp);
  Pass();
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(2, '\1'));
  for (int i = 0; i < 3; ++i) CanWakeUp();
  TimeOut();
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardStandbySent);
  EXPECT_THAT(ReceiveAll(client).bytes, IsEmpty());
}

TEST_F(GuardLoopTest, DisconnectForgetsTheByteInForce) {
  const int client = ConnectAccepted();
  WriteKey(key_write_, kKeyDown);
  Pass();
  SendAndPass(client, ControlConfirm);
  CloseClient(client);
  Pass();
  EXPECT_EQ(loop_.client_fd, -1);
  EXPECT_FALSE(loop_.guard.confirmation);
  WriteKey(key_write_, kKeyUp);
  Pass();
  CanWakeUp();
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
}

// A daemon started with standard input closed hands descriptor 0 to the
// first socket it makes or accepts.
TEST_F(GuardLoopTest, DescriptorZeroIsServedLikeAnyOther) {
  const int saved_input = dup(0);
  ASSERT_GE(saved_input, 0);
  const int client = Connect();
  close(0);
  Pass();
  EXPECT_EQ(loop_.client_fd, 0);
  SendAndPass(client, ControlPing);
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(1, '\1'));
  CloseClient(client);
  Pass();
  ASSERT_EQ(loop_.client_fd, -1);

  ASSERT_EQ(dup2(can_read_, 0), 0);
  neighbour_can_fd = 0;
  loop_.can_fd = 0;
  neighbour_calls.clear();
  CanWakeUp();
  EXPECT_THAT(neighbour_calls, ElementsAre("drain"));
  neighbour_can_fd = can_read_;
  loop_.can_fd = can_read_;
  dup2(saved_input, 0);
  close(saved_input);
}

TEST_F(GuardLoopTest, NewestClientWinsAndIsReadFromTheNextPassOn) {
  const int first = ConnectAccepted();
  SendAndPass(first, ControlConfirm);
  const int first_fd = loop_.client_fd;

  const int second = Connect();
  SendByte(second, 7);
  Pass();
  EXPECT_NE(loop_.client_fd, first_fd);
  EXPECT_GE(loop_.client_fd, 0);
  EXPECT_TRUE(loop_.guard.confirmation);  // carried over, 7 not read yet
  const Received old = ReceiveAll(first);
  EXPECT_TRUE(old.closed);
  EXPECT_THAT(old.bytes, IsEmpty());

  Pass();
  EXPECT_FALSE(loop_.guard.confirmation) << "withdrawn: no ping stood";
  SendAndPass(second, ControlPing);
  EXPECT_EQ(ReceiveAll(second).bytes, std::string(1, '\1'));
}

// Bytes sent together are read in one pass and act in turn as they would
// one per pass: the same states, the same echoes.
TEST_F(GuardLoopTest, BytesSentTogetherActInOrderInOnePass) {
  struct Case {
    const char* name;
    bool in_window;
    std::vector<uint8_t> bytes;
    GuardState state;
    bool ping_standing;
    bool confirmation;
    size_t echoes;
  };
  const Case cases[] = {
      {"confirm then ping", true, {ControlConfirm, ControlPing}, GuardIdle, true, false, 1},
      {"confirm then withdraw", true, {ControlConfirm, 0}, GuardIdle, false, false, 0},
      {"pings then confirm", true, {ControlPing, ControlPing, ControlConfirm}, GuardIdle, true, false, 0},
      {"pings while idle", false, {ControlPing, 7, ControlPing, ControlPing}, GuardIdle, true, false, 3},
      {"confirm withdrawn while idle", false, {ControlConfirm, 0}, GuardIdle, false, false, 0},
      {"confirm kept through a ping", false, {ControlConfirm, ControlPing, 0}, GuardIdle, false, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int client = ConnectAccepted();
    if (c.in_window) ShortPress();
    ASSERT_EQ(send(client, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    Pass();
    EXPECT_EQ(loop_.guard.state, c.state);
    EXPECT_EQ(loop_.guard.ping_standing, c.ping_standing);
    EXPECT_EQ(loop_.guard.confirmation, c.confirmation);
    EXPECT_EQ(ReceiveAll(client).bytes, std::string(c.echoes, '\1'));
    CloseClient(client);
    Pass();
  }
}

TEST_F(GuardLoopTest, PingFloodIsReadAPassAtATimeAndEveryPingAnswered) {
  const int client = ConnectAccepted();
  const std::string flood(kControlBatchBytes + 44, '\1');
  ASSERT_EQ(send(client, flood.data(), flood.size(), MSG_NOSIGNAL), static_cast<ssize_t>(flood.size()));
  Pass();
  EXPECT_EQ(ReceiveAll(client).bytes.size(), kControlBatchBytes);
  Pass();
  EXPECT_EQ(ReceiveAll(client).bytes.size(), 44u);
}

TEST_F(GuardLoopTest, ClientThatNeverReadsCannotStallTheLoop) {
  const int client = ConnectAccepted();
  const int small = 1024;
  ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(loop_.client_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  SendAndPass(client, ControlPing);

  // Wake-ups by the CAN descriptor alone; its pipe is empty and non-blocking.
  fd_set can_ready;
  FD_ZERO(&can_ready);
  FD_SET(loop_.can_fd, &can_ready);
  const timespec now = MonotonicNow();
  for (int i = 0; i < 100000; ++i) {
    RunGuardPass(&loop_, 1, &can_ready, &now);
    if (i % 1000 == 0) neighbour_calls.clear();
  }
  const Received got = ReceiveAll(client);
  EXPECT_FALSE(got.closed);
  EXPECT_FALSE(got.bytes.empty());
  ASSERT_LT(got.bytes.size(), 100000u) << "the buffers never filled: the case was not exercised";
  EXPECT_EQ(got.bytes.find_first_not_of('\1'), std::string::npos);

  // With room again, the echoes go on.
  RunGuardPass(&loop_, 1, &can_ready, &now);
  EXPECT_EQ(ReceiveAll(client).bytes, std::string(1, '\1'));
  EXPECT_GE(loop_.client_fd, 0);
}

// ---------------------------------------------------------------------------
// The order in which one pass serves what is ready.

TEST_F(GuardLoopTest, OnePassDrainsAcceptsBeforeReadingAndReadsTheKey) {
  const int old_client = ConnectAccepted();
  WriteKey(key_write_, kKeyDown);
  Pass();

  ASSERT_EQ(write(can_write_, "f", 1), 1);
  const int new_client = Connect();
  SendByte(old_client, ControlConfirm);
  WriteKey(key_write_, kKeyUp);
  Pass();
  EXPECT_THAT(neighbour_calls, ElementsAre("drain"));
  // The newcomer was accepted first, so the old client's byte was never read.
  EXPECT_FALSE(loop_.guard.confirmation);
  const Received old = ReceiveAll(old_client);
  EXPECT_TRUE(old.closed);
  EXPECT_THAT(old.bytes, IsEmpty());
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);  // the key-up was read as well

  SendAndPass(new_client, ControlConfirm);
  EXPECT_EQ(loop_.guard.state, GuardIdle);
}

TEST_F(GuardLoopTest, StatusIsDrainedBeforeItIsConsulted) {
  EnterStandbySent();
  neighbour_calls.clear();
  neighbour_ap_standby = 1;
  WriteKey(key_write_, kKeyDown);
  ASSERT_EQ(write(can_write_, "f", 1), 1);
  Pass();
  EXPECT_EQ(loop_.guard.state, GuardIdle) << "the standby drained in this pass ends the episode in it";
  EXPECT_THAT(neighbour_calls, ElementsAre("drain", "cleared 1"));
}

// ---------------------------------------------------------------------------
// Losing the key device.

class GuardLoopKeyLossTest : public GuardLoopTest {
 protected:
  void SetUp() override {
    GuardLoopTest::SetUp();
    fifo_path_ = dir_ + "/keypad";
    ASSERT_EQ(mkfifo(fifo_path_.c_str(), 0600), 0);
    fifo_writer_ = open(fifo_path_.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifo_writer_, 0);
    const int key = OpenKeyDevice(fifo_path_.c_str());
    ASSERT_GE(key, 0);
    loop_.key_fd = key;
  }

  void TearDown() override {
    if (fifo_writer_ >= 0) close(fifo_writer_);
    if (loop_.key_fd >= 0) close(loop_.key_fd);
    GuardLoopTest::TearDown();
  }

  std::string GoneLine() const {
    return "Input device " + fifo_path_ + " is gone, waiting for it to return\n";
  }

  std::string fifo_path_;
  int fifo_writer_ = -1;
};

TEST_F(GuardLoopKeyLossTest, LostDeviceIsWatchedWithoutSpinningAndServedAgainOnReturn) {
  close(fifo_writer_);
  fifo_writer_ = -1;
  testing::internal::CaptureStderr();
  Pass();
  EXPECT_EQ(loop_.key_fd, -1);
  EXPECT_EQ(loop_.guard.state, GuardIdle);

  int quiet = 0;
  const int waits = 10;
  for (int i = 0; i < waits; ++i) {
    fd_set ready;
    const int count = FillGuardSelectSet(&loop_, &ready);
    timeval wait = {0, 100000};
    const int result = select(count, &ready, nullptr, nullptr, &wait);
    EXPECT_GE(result, 0);
    if (result == 0) ++quiet;
    const timespec now = MonotonicNow();
    if (result > 0) RunGuardPass(&loop_, result, &ready, &now);
  }
  EXPECT_GE(quiet, waits - 1);
  EXPECT_EQ(loop_.key_fd, -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), GoneLine());

  ASSERT_EQ(unlink(fifo_path_.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo_path_.c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  Pass();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Input device " + fifo_path_ + " is back\n");
  ASSERT_GE(loop_.key_fd, 0);

  fifo_writer_ = open(fifo_path_.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fifo_writer_, 0);
  ShortPress(fifo_writer_);
  EXPECT_EQ(loop_.guard.state, GuardAwaitConfirm);
}

TEST_F(GuardLoopKeyLossTest, ClientIsServedBeforeTheKeyDeviceInOnePass) {
  const int client = ConnectAccepted();
  SendAndPass(client, ControlPing);  // its echo stays unread
  CloseClient(client);               // so the daemon's end is reset
  close(fifo_writer_);
  fifo_writer_ = -1;
  testing::internal::CaptureStderr();
  Pass();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "read: Connection reset by peer\n" + GoneLine());
  EXPECT_EQ(loop_.client_fd, -1);
  EXPECT_FALSE(loop_.guard.confirmation);
  EXPECT_EQ(loop_.key_fd, -1);
}

}  // namespace
