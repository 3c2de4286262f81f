// The client library against a guard played by the test: a real UNIX
// listening socket in a scratch folder, served by hand.
#include "client/helmwatch_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/monotonic_time.h"

extern "C" int ConfirmFromC(const char* path);

namespace {

class ClientTest : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/client_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_ = folder;
    path_ = dir_ + "/control";
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listen_fd_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listen_fd_, 2), 0);
  }

  void TearDown() override {
    if (guard_fd_ >= 0) close(guard_fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
    std::filesystem::remove_all(dir_);
  }

  // Connects the client and accepts it on the guard's side.
  int ConnectAccepted() {
    const int fd = HelmwatchConnect(path_.c_str());
    EXPECT_GE(fd, 0) << std::strerror(errno);
    guard_fd_ = accept(listen_fd_, nullptr, nullptr);
    EXPECT_GE(guard_fd_, 0);
    return fd;
  }

  // What the guard's side has received so far.
  std::string GuardReceived(int wait_ms = 1000) {
    std::string bytes;
    pollfd ready{guard_fd_, POLLIN, 0};
    while (poll(&ready, 1, bytes.empty() ? wait_ms : 0) > 0) {
      char buffer[64];
      const ssize_t n = recv(guard_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }

  void GuardSends(const std::string& bytes) {
    ASSERT_EQ(send(guard_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  std::string dir_;
  std::string path_;
  int listen_fd_ = -1;
  int guard_fd_ = -1;
};

TEST_F(ClientTest, ConnectTellsWhyNoGuardListens) {
  EXPECT_EQ(HelmwatchConnect((dir_ + "/absent").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  close(listen_fd_);  // the file stays, nobody listens: a crashed guard
  listen_fd_ = -1;
  EXPECT_EQ(HelmwatchConnect(path_.c_str()), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  const std::string too_long(200, 'x');
  EXPECT_EQ(HelmwatchConnect(too_long.c_str()), -1);
}

TEST_F(ClientTest, ConnectionIsNonBlockingAndCloseOnExec) {
  const int fd = ConnectAccepted();
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  HelmwatchClose(fd);
}

TEST_F(ClientTest, ConfirmWithdrawAndStartPingSendOneByteEach) {
  const int fd = ConnectAccepted();
  EXPECT_EQ(HelmwatchConfirm(fd), 0);
  EXPECT_EQ(HelmwatchWithdraw(fd), 0);
  EXPECT_EQ(HelmwatchStartPing(fd), 0);
  EXPECT_EQ(GuardReceived(), std::string("\x02\x00\x01", 3));
  HelmwatchClose(fd);
}

TEST_F(ClientTest, ConfirmFromCReachesTheGuard) {
  ASSERT_EQ(ConfirmFromC(path_.c_str()), 0);
  guard_fd_ = accept(listen_fd_, nullptr, nullptr);
  ASSERT_GE(guard_fd_, 0);
  EXPECT_EQ(GuardReceived(), "\x02");
}

TEST_F(ClientTest, PingAnsweredReturnsOneAndWithdrawsTheQuestion) {
  const int fd = ConnectAccepted();
  std::thread guard([this] {
    if (GuardReceived(5000) == "\x01") GuardSends("\x01\x01");
  });
  EXPECT_EQ(HelmwatchPing(fd, 5000), 1);
  guard.join();
  EXPECT_EQ(GuardReceived(), std::string("\x00", 1));
  EXPECT_EQ(HelmwatchReadEchoes(fd, 0), 0) << "the answers were consumed";
  HelmwatchClose(fd);
}

TEST_F(ClientTest, AnswersWaitingBeforeThePingAreNotTakenForItsAnswer) {
  const int fd = ConnectAccepted();
  GuardSends("\x01\x01\x01");  // left over from an earlier standing ping
  EXPECT_EQ(HelmwatchPing(fd, 200), 0);
  EXPECT_EQ(GuardReceived(), std::string("\x01\x00", 2));
  HelmwatchClose(fd);
}

TEST_F(ClientTest, PingUnansweredReturnsZeroAfterItsTime) {
  const int fd = ConnectAccepted();
  const double start = MonotonicSeconds();
  EXPECT_EQ(HelmwatchPing(fd, 200), 0);
  const double waited = MonotonicSeconds() - start;
  EXPECT_GE(waited, 0.2) << "it gave up early";
  EXPECT_LT(waited, 10.0) << "it did not keep to its time";
  EXPECT_EQ(GuardReceived(), std::string("\x01\x00", 2));
  HelmwatchClose(fd);
}

TEST_F(ClientTest, ReadEchoesCountsAnswersAndReportsTheGuardsEnd) {
  const int fd = ConnectAccepted();
  EXPECT_EQ(HelmwatchReadEchoes(fd, 0), 0);
  GuardSends("\x01\x01");
  EXPECT_EQ(HelmwatchReadEchoes(fd, 1000), 2);
  close(guard_fd_);  // a newer client took over
  guard_fd_ = -1;
  EXPECT_EQ(HelmwatchReadEchoes(fd, 1000), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(HelmwatchConfirm(fd), -1) << "no SIGPIPE either: the test would have died";
  HelmwatchClose(fd);
}

TEST_F(ClientTest, GuardThatStopsReadingNeverBlocksTheCaller) {
  const int fd = ConnectAccepted();
  int sent = 0;
  while (HelmwatchConfirm(fd) == 0) {
    ASSERT_LT(++sent, 10000000) << "the socket never filled";
  }
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(HelmwatchPing(fd, 100), -1) << "the question cannot be sent";
  HelmwatchClose(fd);
}

}  // namespace
