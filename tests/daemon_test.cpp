// The daemon as a whole, started as a process of its own the way a shell or
// an init system starts it: its command line, its start-up, detaching, and
// its key device across unplugging, judged by exit status, standard error
// and what /proc shows of the running process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "guard/tests/test_io.h"
#include "tests/daemon_process.h"

namespace helmwatch_test {
namespace {

// The usage text, byte for byte: a change to it must be made here as well.
constexpr char kUsage[] =
    "helmwatch " HELMWATCH_VERSION " - Corvan auto pilot safety guard\n"
    "\n"
    "Usage: helmwatch [OPTIONS] [input device]\n"
    "\n"
    "Options:\n"
    "\t-d\t--daemon\t\tRun in background\n"
    "\t-h\t--help\t\t\tThis help\n"
    "\t-o\t--alarm-options=type\tbuzzer (optional): path to buzzer device in /sys\n"
    "\t\t\t\t\tdualbuzzer (optional): path to buzzer device in /sys\n"
    "\t\t\t\t\tgpio: gpio number\n"
    "\t-t\t--alarm-type=type\tTypes: buzzer, dualbuzzer, gpio, speaker\n"
    "\t-u X\t--unix=X\t\tUNIX server socket name\n"
    "\n"
    "Report problems to the maintainers of your unit's software.\n";

std::string GoneLine(const std::string& path) {
  return "Input device " + path + " is gone, waiting for it to return\n";
}

std::string BackLine(const std::string& path) { return "Input device " + path + " is back\n"; }

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The fields of /proc/PID/stat after the command name, from the state on.
std::vector<std::string> StatFields(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  std::istringstream rest(stat.substr(stat.rfind(')') + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

pid_t ParentOf(pid_t pid) { return std::stoi(StatFields(pid).at(1)); }

// User plus system time, in clock ticks.
long CpuTicks(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  return std::stol(fields.at(11)) + std::stol(fields.at(12));
}

// The value of a line "Name:\tvalue..." of /proc/PID/status.
std::string StatusField(pid_t pid, const std::string& name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return "";
}

std::string WorkingDirectory(pid_t pid) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error).string();
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

// A FIFO standing in for the key device. The test holds its writing end;
// closing it makes the daemon read end of file, as from an unplugged device.
class FakeKeyDevice {
 public:
  explicit FakeKeyDevice(std::string path) : path_(std::move(path)) {
    Create();
    Plug();
  }
  ~FakeKeyDevice() { Unplug(); }
  FakeKeyDevice(const FakeKeyDevice&) = delete;
  FakeKeyDevice& operator=(const FakeKeyDevice&) = delete;

  const std::string& path() const { return path_; }

  // Opens a writing end that also reads, so that neither the test nor a
  // daemon opening the device blocks.
  void Plug() {
    if (writer_ < 0) writer_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (writer_ < 0) throw std::runtime_error("cannot open " + path_);
  }

  void Unplug() {
    if (writer_ >= 0) close(writer_);
    writer_ = -1;
  }

  // Puts a new device at the path in place of the old one and opens its
  // writing end, which succeeds only once a reader (the daemon) has it open.
  bool Replug() {
    Unplug();
    unlink(path_.c_str());
    Create();
    const auto deadline = std::chrono::steady_clock::now() + kGenerousLimit;
    while ((writer_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(Milliseconds(10));
    }
    return true;
  }

  // A key other than the guarded one goes down and up, each with its
  // synchronisation event, as a keypad reports it.
  bool WriteOtherKeyPress() {
    input_event events[4] = {};
    events[0].type = EV_KEY;
    events[0].code = KEY_B;
    events[0].value = 1;
    events[1].type = EV_SYN;
    events[2].type = EV_KEY;
    events[2].code = KEY_B;
    events[2].value = 0;
    events[3].type = EV_SYN;
    return write(writer_, events, sizeof events) == static_cast<ssize_t>(sizeof events);
  }

 private:
  void Create() {
    if (mkfifo(path_.c_str(), 0600) != 0 || chmod(path_.c_str(), 0644) != 0) {
      throw std::runtime_error("cannot make FIFO " + path_);
    }
  }

  std::string path_;
  int writer_ = -1;
};

class DaemonTest : public ::testing::Test {
 protected:
  struct Ended {
    std::string ending;
    std::string error;
  };

  void SetUp() override {
    dir_ = MakeMemoryFolder("helmwatch-test");
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // reachable for nobody as well
    key_ = std::make_unique<FakeKeyDevice>(dir_ + "/event0");
    socket_path_ = dir_ + "/control";
  }

  void TearDown() override {
    daemons_.clear();  // kills every daemon, after a failed assertion too
    key_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  DaemonProcess& StartCommand(std::vector<std::string> command, const StartOptions& options = {}) {
    daemons_.push_back(std::make_unique<DaemonProcess>(std::move(command), options));
    return *daemons_.back();
  }

  DaemonProcess& Start(const std::vector<std::string>& args, const StartOptions& options = {}) {
    return StartCommand(DaemonCommand(args), options);
  }

  Ended RunToEnd(const std::vector<std::string>& args) {
    DaemonProcess& daemon = Start(args);
    const std::string ending = Ending(daemon.WaitForExit());
    return {ending, daemon.ReadErrorToEnd()};
  }

  // Unplugs device and waits for the daemon to report the loss from its
  // loop: proof that it got through start-up to the loop. The process
  // started must still be that loop, in the foreground.
  // The alarm output's warning, when expected, comes first.
  void ExpectServes(DaemonProcess& daemon, FakeKeyDevice& device, const std::string& shown_path,
                    const std::string& alarm_warning = "") {
    ASSERT_TRUE(daemon.WaitForError(kCanReport)) << daemon.error_text();
    device.Unplug();
    ASSERT_TRUE(daemon.WaitForError(GoneLine(shown_path))) << daemon.error_text();
    const std::string text = daemon.error_text();
    ASSERT_EQ(text.substr(0, alarm_warning.size()), alarm_warning);
    EXPECT_EQ(WithoutPrivilegeReport(text.substr(alarm_warning.size())), kCanReport + GoneLine(shown_path));
    EXPECT_TRUE(daemon.Running());
  }

  // Command-line errors that getopt itself reports: its one line naming the
  // option, then the usage, status 1.
  void ExpectParserLineThenUsage(const std::vector<std::string>& args, const std::string& named) {
    SCOPED_TRACE(args.front());
    const Ended ended = RunToEnd(args);
    EXPECT_EQ(ended.ending, "exit 1");
    const std::string usage = kUsage;
    ASSERT_GT(ended.error.size(), usage.size()) << ended.error;
    EXPECT_EQ(ended.error.substr(ended.error.size() - usage.size()), usage);
    const std::string line = ended.error.substr(0, ended.error.size() - usage.size());
    EXPECT_EQ(Count(line, "\n"), 1U) << line;
    EXPECT_EQ(line.back(), '\n') << line;
    EXPECT_NE(line.find(named), std::string::npos) << line;
  }

  std::string dir_;
  std::string socket_path_;
  std::unique_ptr<FakeKeyDevice> key_;
  std::vector<std::unique_ptr<DaemonProcess>> daemons_;
};

// ---- Usage and refused command lines ----

TEST_F(DaemonTest, NoArgumentsPrintsUsageAndEndsWithStatusOne) {
  const Ended ended = RunToEnd({});
  EXPECT_EQ(ended.ending, "exit 1");
  EXPECT_EQ(ended.error, kUsage);
}

TEST_F(DaemonTest, HelpEndsWithStatusOne) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"--help"}, {"-h", key_->path()}}) {
    SCOPED_TRACE(args.size() == 1 ? args[0] : args[0] + " DEVICE");
    const Ended ended = RunToEnd(args);
    EXPECT_EQ(ended.ending, "exit 1");
    EXPECT_EQ(ended.error, kUsage);
  }
}

TEST_F(DaemonTest, GpioAlarmWithoutNumberIsRefused) {
  for (const char* type : {"-t", "--alarm-type"}) {
    SCOPED_TRACE(type);
    const Ended ended = RunToEnd({type, "gpio", key_->path()});
    EXPECT_EQ(ended.ending, "exit 1");
    EXPECT_EQ(ended.error, std::string("GPIO alarm requires a GPIO number specified with -o.\n") + kUsage);
  }
}

TEST_F(DaemonTest, GpioNumberThatNamesNoLineIsRefused) {
  const Ended ended = RunToEnd({"-t", "gpio", "-o", "7x", key_->path()});
  EXPECT_EQ(ended.ending, "exit 1");
  EXPECT_EQ(ended.error, "GPIO number given with -o must be a whole number from 0 to 99999: 7x\n");
}

TEST_F(DaemonTest, UnknownAlarmTypeIsRefused) {
  const Ended ended = RunToEnd({"-t", "siren", key_->path()});
  EXPECT_EQ(ended.ending, "exit 1");
  EXPECT_EQ(ended.error, std::string("Unknown alarm type siren\n") + kUsage);
}

TEST_F(DaemonTest, AmbiguousLongOptionIsRefused) {
  // --alarm could be --alarm-options or --alarm-type.
  ExpectParserLineThenUsage({"--alarm", "gpio", key_->path()}, "--alarm");
}

TEST_F(DaemonTest, UnknownOptionIsRefused) {
  ExpectParserLineThenUsage({"--volume", key_->path()}, "--volume");
  ExpectParserLineThenUsage({"-x", key_->path()}, "x");
}

TEST_F(DaemonTest, MissingOptionArgumentIsRefused) {
  ExpectParserLineThenUsage({"-u"}, "'u'");
  ExpectParserLineThenUsage({"--unix"}, "--unix");
  ExpectParserLineThenUsage({"-t"}, "'t'");
}

TEST_F(DaemonTest, UnopenableDeviceEndsBeforeAnythingElse) {
  const std::string missing = dir_ + "/missing/event0";
  const Ended ended = RunToEnd({"-u", socket_path_, missing});
  EXPECT_EQ(ended.ending, "exit 1");
  EXPECT_EQ(ended.error, "Unable to open " + missing + "\n");  // no CAN start-up before it
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
}

// A key device path that opens but can never deliver key events would guard
// nothing (a folder, a file) or keep the loop busy for ever (/dev/zero).
TEST_F(DaemonTest, PathThatIsNoInputDeviceIsRefusedBeforeAnythingElse) {
  const std::string file = dir_ + "/events";
  std::ofstream(file) << "not an event";
  for (const std::string& path : {dir_, file, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    const Ended ended = RunToEnd({"-u", socket_path_, path});
    EXPECT_EQ(ended.ending, "exit 1");
    EXPECT_EQ(ended.error, path + " is not an input event device\n");
  }
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
}

// ---- Command lines that start the daemon ----

TEST_F(DaemonTest, StartsWithoutAlarmType) {
  DaemonProcess& daemon = Start({"-u", socket_path_, key_->path()});
  ExpectServes(daemon, *key_, key_->path());
}

TEST_F(DaemonTest, GpioAlarmStartsWithNumberBeforeOrAfterType) {
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-t", "gpio", "-o", "7"}, {"-o", "7", "-t", "gpio"}}) {
    SCOPED_TRACE(options[0]);
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-u", socket_path_, key_->path()});
    DaemonProcess& daemon = Start(args);
    // No GPIO line is exported on a test machine.
    ExpectServes(daemon, *key_, key_->path(),
                 "Alarm output /sys/class/gpio/gpio7/value does not exist; alarms will not sound until it does\n");
    daemon.KillAll();
    key_->Plug();
  }
}

TEST_F(DaemonTest, OptionAfterDevicePathIsNotParsed) {
  // The -d is left unparsed: no fork, no new session, no change of directory.
  DaemonProcess& daemon = Start({"-u", socket_path_, key_->path(), "-d"}, {dir_, false});
  ExpectServes(daemon, *key_, key_->path());
  EXPECT_EQ(getsid(daemon.pid()), getsid(0));
  EXPECT_EQ(WorkingDirectory(daemon.pid()), dir_);
}

TEST_F(DaemonTest, SecondDevicePathIsIgnored) {
  DaemonProcess& daemon = Start({"-u", socket_path_, key_->path(), dir_ + "/missing"});
  ExpectServes(daemon, *key_, key_->path());
}

TEST_F(DaemonTest, DoubleDashEndsOptions) {
  // After "--" even "-d" is the device path, relative to the working directory.
  FakeKeyDevice dash_device(dir_ + "/-d");
  DaemonProcess& daemon = Start({"-u", socket_path_, "--", "-d"}, {dir_, false});
  ExpectServes(daemon, dash_device, "-d");
  EXPECT_EQ(WorkingDirectory(daemon.pid()), dir_);
}

TEST_F(DaemonTest, StatusFileWhosePathWouldBeCutIsLeftOut) {
  // So deep that the lock beside a relative socket path fits, but the
  // status file and its temporary name do not: a cut path would name
  // another file ("control.stat").
  constexpr size_t kDepth = 4082;
  std::string deep = dir_;
  while (deep.size() < kDepth) deep += "/" + std::string(std::min<size_t>(200, kDepth - deep.size()), 'd');
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  DaemonProcess& daemon = Start({"-u", "control", key_->path()}, {deep, false});
  ASSERT_TRUE(daemon.WaitForError("control.status is too long: no status file\n")) << daemon.error_text();
  // The loss is reported from the loop, after its first status.
  key_->Unplug();
  ASSERT_TRUE(daemon.WaitForError(GoneLine(key_->path()))) << daemon.error_text();
  EXPECT_TRUE(daemon.Running());
  std::vector<std::string> made;
  for (const auto& entry : std::filesystem::directory_iterator(deep)) made.push_back(entry.path().filename());
  std::sort(made.begin(), made.end());
  // The configuration is written once, at start-up, where the relative
  // path still leads beside the socket: nothing is cut.
  EXPECT_EQ(made, (std::vector<std::string>{"control.config", "control.lock"}));
}

// Writing beside a socket on a disk could hold up the guard: neither its
// status file nor its history is written there.
TEST_F(DaemonTest, NoFileIsWrittenBesideASocketOnDisk) {
  const std::string disk = std::filesystem::current_path() / ("helmwatch-disk." + std::to_string(getpid()));
  ASSERT_TRUE(std::filesystem::create_directory(disk));
  if (IsMemoryFileSystem(disk)) GTEST_SKIP() << "the build folder is on a memory file system";
  DaemonProcess& daemon = Start({"-u", disk + "/control", key_->path()});
  EXPECT_TRUE(daemon.WaitForError(
      "control.status not written, nor the history and flights beside it: its folder is not on a memory file "
      "system (tmpfs), where writing could hold up the guard\n"))
      << daemon.error_text();
  key_->Unplug();
  EXPECT_TRUE(daemon.WaitForError(GoneLine(key_->path()))) << daemon.error_text();
  std::vector<std::string> made;
  for (const auto& entry : std::filesystem::directory_iterator(disk)) made.push_back(entry.path().filename());
  std::sort(made.begin(), made.end());
  // The configuration is written once, at start-up, which may wait.
  EXPECT_EQ(made, (std::vector<std::string>{"control.config", "control.lock"}));
  std::filesystem::remove_all(disk);
}

// ---- Privileges and detaching ----

TEST_F(DaemonTest, UnprivilegedStartRunsWithoutControlSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can start the daemon as nobody";
  // A copy of the program that nobody can surely reach.
  const std::string program = dir_ + "/helmwatch";
  std::filesystem::copy_file(HELMWATCH_BINARY, program);
  std::filesystem::permissions(program, std::filesystem::perms(0755));
  std::vector<std::string> command = DaemonCommand({"-u", socket_path_, key_->path()});
  std::replace(command.begin(), command.end(), std::string(HELMWATCH_BINARY), program);

  DaemonProcess& daemon = StartCommand(command, {"", true});
  ExpectServes(daemon, *key_, key_->path());
  std::string report;
  WithoutPrivilegeReport(daemon.error_text(), &report);
  EXPECT_NE(report, "") << daemon.error_text();
  EXPECT_EQ(StatusField(daemon.pid(), "Uid").substr(0, 5), "65534");
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
}

// The socket's path is taken from no running guard, and only what is
// provably stale is replaced: a lock file readable by others (as an older
// guard left it) held by an unprivileged process keeps no guard out, and
// the lock the guard then holds is one only its user can open; a socket a
// program listens on is refused before can0 is touched and left alone; a
// socket nobody listens on is replaced.
TEST_F(DaemonTest, SocketPathIsTakenFromNoGuardAndOnlyWhenStale) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can hold the lock as nobody";
  const std::string lock = socket_path_ + ".lock";
  std::ofstream(lock).close();
  ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
  DaemonProcess& holder = StartCommand(
      {"sh", "-c", "exec 9<\"$0\" && flock -x 9 && echo held >&2 && exec sleep 600", lock}, {"", true});
  ASSERT_TRUE(holder.WaitForError("held\n")) << holder.error_text();
  DaemonProcess& guard = Start({"-u", socket_path_, key_->path()});
  ExpectServes(guard, *key_, key_->path());
  struct stat taken;
  ASSERT_EQ(stat(lock.c_str(), &taken), 0);
  EXPECT_EQ(taken.st_uid, 0U);
  EXPECT_EQ(taken.st_mode & 07777, 0600U);
  guard.KillAll();

  key_->Plug();
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  socket_path_.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener, 1), 0);
  const Ended refused = RunToEnd({"-u", socket_path_, key_->path()});
  EXPECT_EQ(refused.ending, "exit 1");
  EXPECT_EQ(refused.error,
            socket_path_ + " is in the way of the control socket: a program listens on it: left alone\n");
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
      << "the program's socket is still there and listening";
  close(client);

  close(listener);
  ExpectServes(Start({"-u", socket_path_, key_->path()}), *key_, key_->path());
  EXPECT_FALSE(std::filesystem::exists(socket_path_)) << "the stale socket is replaced";
}

TEST_F(DaemonTest, AbbreviatedDaemonOptionDetaches) {
  // --dae is short for --daemon.
  const ScopedUmask umask_of_caller(027);
  DaemonProcess& daemon = Start({"--dae", "-u", socket_path_, key_->path()}, {dir_, false});
  EXPECT_EQ(Ending(daemon.WaitForExit()), "exit 0");
  EXPECT_TRUE(daemon.WaitForError(kCanReport)) << daemon.error_text();

  const std::vector<pid_t> readers = ProcessesWithOpenFile(key_->path());
  ASSERT_EQ(readers.size(), 1U);
  const pid_t detached = readers[0];
  EXPECT_NE(detached, daemon.pid());

  // Once the loss is reported the detached process is in its loop, done
  // with detaching.
  key_->Unplug();
  ASSERT_TRUE(daemon.WaitForError(GoneLine(key_->path()))) << daemon.error_text();
  EXPECT_EQ(WithoutPrivilegeReport(daemon.error_text()), kCanReport + GoneLine(key_->path()));
  EXPECT_EQ(kill(detached, 0), 0);
  EXPECT_EQ(getsid(detached), detached);
  EXPECT_EQ(WorkingDirectory(detached), "/");
  EXPECT_EQ(StatusField(detached, "Umask"), "0000");
}

TEST_F(DaemonTest, DaemonOptionUnderInitDoesNotFork) {
  // In a PID namespace of its own the shell is init, and the daemon its child.
  std::vector<std::string> command = {"unshare", "--pid", "--fork", "--kill-child", "--",
                                      "sh", "-c", "\"$@\"; exit $?", "init"};
  const std::vector<std::string> daemon_words = DaemonCommand({"-u", socket_path_, "-d", key_->path()});
  command.insert(command.end(), daemon_words.begin(), daemon_words.end());
  const ScopedUmask umask_of_caller(027);
  DaemonProcess& unshare = StartCommand(command, {dir_, false});

  if (!unshare.WaitForError(kCanReport)) {
    if (!unshare.Running() && unshare.error_text().find("unshare") != std::string::npos) {
      GTEST_SKIP() << "no PID namespace can be made here: " << unshare.error_text();
    }
    FAIL() << unshare.error_text();
  }
  const std::vector<pid_t> readers = ProcessesWithOpenFile(key_->path());
  ASSERT_EQ(readers.size(), 1U);
  const pid_t daemon = readers[0];
  const pid_t init = ParentOf(daemon);
  const std::string init_ids = StatusField(init, "NSpid");
  ASSERT_EQ(init_ids.substr(init_ids.find_last_of(" \t") + 1), "1") << init_ids;

  key_->Unplug();
  ASSERT_TRUE(unshare.WaitForError(GoneLine(key_->path()))) << unshare.error_text();
  EXPECT_EQ(WithoutPrivilegeReport(unshare.error_text()), kCanReport + GoneLine(key_->path()));
  EXPECT_EQ(ParentOf(daemon), init);  // still the very process init started
  EXPECT_EQ(WorkingDirectory(daemon), dir_);
  EXPECT_EQ(StatusField(daemon, "Umask"), "0027");
  EXPECT_NE(getsid(daemon), daemon);
  EXPECT_TRUE(unshare.Running());
}

// ---- The key device across unplugging ----

TEST_F(DaemonTest, LostKeyDeviceIsAwaitedWithoutSpinningAndTakenBack) {
  const std::string& path = key_->path();
  DaemonProcess& daemon = Start({"-u", socket_path_, path});
  ASSERT_TRUE(daemon.WaitForError(kCanReport)) << daemon.error_text();

  for (size_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE("loss " + std::to_string(round));
    ASSERT_TRUE(key_->WriteOtherKeyPress());
    key_->Unplug();
    ASSERT_TRUE(daemon.WaitForError(GoneLine(path), round)) << daemon.error_text();

    // A daemon that kept polling the lost device would use nearly all of a
    // processor; a waiting one next to nothing.
    const auto start = std::chrono::steady_clock::now();
    const long ticks_at_start = CpuTicks(daemon.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long ticks = CpuTicks(daemon.pid()) - ticks_at_start;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.25 * elapsed);
    EXPECT_EQ(Count(daemon.error_text(), GoneLine(path)), round) << daemon.error_text();
    EXPECT_EQ(Count(daemon.error_text(), BackLine(path)), round - 1) << daemon.error_text();

    // A new device at the path, then a new writer of the same FIFO.
    if (round == 1) {
      ASSERT_TRUE(key_->Replug());
    } else {
      key_->Plug();
      ASSERT_TRUE(key_->WriteOtherKeyPress());
    }
    ASSERT_TRUE(daemon.WaitForError(BackLine(path), round)) << daemon.error_text();
    EXPECT_TRUE(daemon.Running());
  }
  std::string expected = kCanReport;
  for (int round = 0; round < 2; ++round) expected += GoneLine(path) + BackLine(path);
  EXPECT_EQ(WithoutPrivilegeReport(daemon.error_text()), expected);
}

}  // namespace
}  // namespace helmwatch_test
