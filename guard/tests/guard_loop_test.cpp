// The guard loop driven pass by pass, for what its decisions' explorer
// cannot see: descriptors, the order of its calls against the I/O, clients
// that flood, stall or come and go, and the key device lost. The key
// device is a pipe (or a FIFO where its loss matters), the control clients
// are real UNIX stream sockets and the CAN descriptor is a pipe; the CAN
// link and the alarm are the recorders of recording_neighbours. Time-outs
// are passes with select's result 0.
#include "guard/loop/guard_loop.h"

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
#include "guard/supervision/change_lines.h"
#include "guard/control/control_socket.h"
#include "guard/keypad/key_device.h"
#include "guard/keypad/key_input.h"
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

  // The next interval is armed where the one that ran out ended (the test's
  // passes come long before a stall could move it).
  bool IntervalArmed() const {
    return loop_.guard.timeout_armed == 1 &&
           Nanoseconds(loop_.guard.deadline) ==
               Nanoseconds(deadline_before_) + kStandbyIntervalMicroseconds * 1000;
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
// What the explorer of the decisions cannot see: the loop's start, the line
// of a time-out with nothing armed, and the order of its calls.

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

TEST_F(GuardLoopTest, TimeOutInIdleIsReportedAndChangesNothing) {
  testing::internal::CaptureStderr();
  TimeOut();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Timed out in an expected state 0\n");
  EXPECT_EQ(loop_.guard.state, GuardIdle);
  EXPECT_EQ(loop_.guard.timeout_armed, 0);
  EXPECT_EQ(loop_.guard.retry_count, 0);
  EXPECT_THAT(neighbour_calls, IsEmpty());
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

// ---------------------------------------------------------------------------
// The control client.

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
