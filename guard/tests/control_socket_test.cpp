// The control socket over real UNIX sockets in a temporary directory.
#include "guard/control/control_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "guard/tests/test_io.h"

namespace {

class ControlSocket : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/helmwatch-control-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string Path(const std::string& name) const { return directory_ + "/" + name; }

  std::string directory_;
};

bool IsSocket(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool IsClosed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

TEST_F(ControlSocket, ListensAtThePathWithLingerOn) {
  const int listen_fd = OpenControlSocket(Path("helmwatch").c_str());
  EXPECT_TRUE(IsSocket(Path("helmwatch")));
  linger lingering = {};
  socklen_t size = sizeof lingering;
  ASSERT_EQ(getsockopt(listen_fd, SOL_SOCKET, SO_LINGER, &lingering, &size), 0);
  EXPECT_EQ(lingering.l_onoff, 1);
  EXPECT_EQ(lingering.l_linger, 30);

  const int client = ConnectControlClient(Path("helmwatch"));
  ASSERT_GE(client, 0);
  const int served = AcceptControlClient(listen_fd);
  EXPECT_GE(served, 0);
  close(client);
  close(served);
  close(listen_fd);
}

TEST_F(ControlSocket, FileLeftAtThePathMakesBindFail) {
  const std::string path = Path("helmwatch");
  const int first = OpenControlSocket(path.c_str());
  EXPECT_EXIT(OpenControlSocket(path.c_str()), testing::ExitedWithCode(1),
              "^bind\\(\\): Address already in use\n$");
  // The running daemon's socket is untouched and still takes clients.
  const int client = ConnectControlClient(path);
  EXPECT_GE(client, 0);
  close(client);
  close(first);
}

TEST_F(ControlSocket, MissingDirectoryMakesBindFail) {
  EXPECT_EXIT(OpenControlSocket(Path("absent/helmwatch").c_str()), testing::ExitedWithCode(1),
              "^bind\\(\\): No such file or directory\n$");
}

// What start-up finds at the socket's path, and what it makes of it.
struct PathCase {
  const char* name;
  void (*prepare)(const std::string& path);  // null: nothing at the path
  const char* refusal;                       // regex of the message; null: claimed
};

void StaleSocket(const std::string& path) { close(OpenControlSocket(path.c_str())); }
void RegularFile(const std::string& path) { std::ofstream(path) << "keep"; }
void Directory(const std::string& path) { std::filesystem::create_directory(path); }

constexpr PathCase kPathCases[] = {
    {"nothing", nullptr, nullptr},
    {"stale socket", StaleSocket, nullptr},
    {"regular file", RegularFile, "is in the way of the control socket and is no socket: left alone\n$"},
    {"directory", Directory, "is in the way of the control socket and is no socket: left alone\n$"},
};

TEST_F(ControlSocket, ClaimRemovesOnlyAStaleSocketAndRefusesAnythingElse) {
  for (const PathCase& c : kPathCases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(c.name);
    if (c.prepare != nullptr) c.prepare(path);
    if (c.refusal != nullptr) {
      EXPECT_EXIT(ClaimControlSocketPath(path.c_str()), testing::ExitedWithCode(1), c.refusal);
      EXPECT_TRUE(std::filesystem::exists(path)) << "left alone";
      continue;
    }
    const int lock = ClaimControlSocketPath(path.c_str());
    EXPECT_GE(lock, 0);
    const int listen_fd = OpenControlSocket(path.c_str());
    EXPECT_TRUE(IsSocket(path));
    close(listen_fd);
    close(lock);
  }
}

TEST_F(ControlSocket, ClaimRefusesAPathARunningGuardOwnsAndLeavesItsSocket) {
  const std::string path = Path("helmwatch");
  const int lock = ClaimControlSocketPath(path.c_str());
  ASSERT_GE(lock, 0);
  const int listen_fd = OpenControlSocket(path.c_str());
  EXPECT_EXIT(ClaimControlSocketPath(path.c_str()), testing::ExitedWithCode(1),
              "^A guard is already running on .*/helmwatch\n$");
  const int client = ConnectControlClient(path);
  EXPECT_GE(client, 0) << "the running guard's socket is untouched";
  close(client);
  close(listen_fd);
  close(lock);
  // Once that guard has gone its socket is stale.
  const int next = ClaimControlSocketPath(path.c_str());
  EXPECT_GE(next, 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  close(next);
}

TEST_F(ControlSocket, ClaimRefusesPathsNoSocketAddressHolds) {
  EXPECT_EXIT(ClaimControlSocketPath(""), testing::ExitedWithCode(1), "^Control socket path is empty\n$");
  std::string longest = Path("");
  longest.append(107 - longest.size(), 's');
  EXPECT_EXIT(ClaimControlSocketPath((longest + "s").c_str()), testing::ExitedWithCode(1),
              "is too long: a UNIX socket takes 107 characters\n$");
  const int lock = ClaimControlSocketPath(longest.c_str());
  EXPECT_GE(lock, 0) << "107 characters fit";
  close(lock);
  // Without write access beside the socket there is no lock to take: the
  // path is left to the socket's own set-up.
  EXPECT_EQ(ClaimControlSocketPath(Path("absent/helmwatch").c_str()), -1);
}

TEST_F(ControlSocket, FailedAcceptIsReportedAndLeavesNothing) {
  const int not_listening = socket(AF_UNIX, SOCK_STREAM, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(AcceptControlClient(not_listening), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "accept(): Invalid argument\n");
  close(not_listening);
}

TEST_F(ControlSocket, ClientWaitingWhileOutOfDescriptorsIsTurnedAway) {
  const int listen_fd = OpenControlSocket(Path("helmwatch").c_str());
  const int client = ConnectControlClient(Path("helmwatch"));
  ASSERT_GE(client, 0);
  testing::internal::CaptureStderr();
  // Every descriptor the limit allows is taken.
  rlimit saved = {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  const int served = AcceptControlClient(listen_fd);
  for (int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string error = testing::internal::GetCapturedStderr();

  EXPECT_EQ(served, -1);
  EXPECT_EQ(error, "accept(): Too many open files\n");
  pollfd listening = {listen_fd, POLLIN, 0};
  EXPECT_EQ(poll(&listening, 1, 0), 0) << "the loop would wake up again at once";
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), 0) << "the client is told at once";
  // With descriptors back, the next client is served.
  const int next = ConnectControlClient(Path("helmwatch"));
  const int next_served = AcceptControlClient(listen_fd);
  EXPECT_GE(next_served, 0);
  for (int fd : {client, next, next_served, listen_fd}) close(fd);
}

class ControlClient : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0); }
  void TearDown() override {
    if (pair_[0] >= 0) close(pair_[0]);
    if (pair_[1] >= 0) close(pair_[1]);
  }
  int& client_fd() { return pair_[0]; }  // the daemon's end
  int& peer() { return pair_[1]; }       // the UI application's end

  int pair_[2] = {-1, -1};
};

TEST_F(ControlClient, WhatIsWaitingIsReadInOneCallUpToTheBuffer) {
  const uint8_t sent[] = {ControlConfirm, ControlPing, 7};
  ASSERT_EQ(write(peer(), sent, sizeof sent), 3);
  uint8_t bytes[2] = {};
  EXPECT_EQ(ReadControlBytes(&client_fd(), bytes, sizeof bytes), 2u);
  EXPECT_EQ(bytes[0], ControlConfirm);
  EXPECT_EQ(bytes[1], ControlPing);
  EXPECT_EQ(ReadControlBytes(&client_fd(), bytes, sizeof bytes), 1u);
  EXPECT_EQ(bytes[0], 7);
}

TEST_F(ControlClient, ClosedClientIsClosedQuietly) {
  close(peer());
  peer() = -1;
  const int fd = client_fd();
  uint8_t byte = 7;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadControlBytes(&client_fd(), &byte, 1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(client_fd(), -1);
  EXPECT_TRUE(IsClosed(fd));
}

TEST_F(ControlClient, ReadErrorClosesTheClientWithAMessage) {
  const int directory = open("/", O_RDONLY | O_DIRECTORY);
  // cppcheck-suppress resourceLeak ; nothing is open when the assertion fails
  ASSERT_GE(directory, 0);
  int fd = directory;
  uint8_t byte = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadControlBytes(&fd, &byte, 1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "read: Is a directory\n");
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(IsClosed(directory));
}

TEST_F(ControlClient, EchoToAClientThatNeverReadsNeverBlocks) {
  const int small = 4096;
  ASSERT_EQ(setsockopt(client_fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(peer(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  // Far more than both buffers hold: a blocking send would hang here.
  for (int i = 0; i < 2000; ++i) SendControlEchoes(client_fd(), kMaxControlEchoes);

  uint8_t received[1024];
  ASSERT_EQ(fcntl(peer(), F_SETFL, O_NONBLOCK), 0);
  const ssize_t got = read(peer(), received, sizeof received);
  ASSERT_GT(got, 0);
  for (ssize_t i = 0; i < got; ++i) EXPECT_EQ(received[i], ControlPing);
  // Room again: the next echo arrives.
  while (read(peer(), received, sizeof received) > 0) {
  }
  SendControlEchoes(client_fd(), 3);
  EXPECT_EQ(read(peer(), received, sizeof received), 3);
}

TEST_F(ControlClient, EchoToAClientThatHasGoneDoesNotEndTheProcess) {
  // SIGPIPE keeps its default action here, which would end the process.
  EXPECT_EXIT(
      {
        close(peer());
        SendControlEchoes(client_fd(), 1);
        SendControlEchoes(-1, 1);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
