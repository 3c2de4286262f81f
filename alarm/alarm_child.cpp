#include "alarm/alarm_child.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>

namespace {

// Beyond the pattern's own time a child may need ALSA's set-up and the drain
// of its half-second buffer on the unit's slow core, and the delays of a
// busy machine. A child still there after this margin is stuck on its device.
constexpr unsigned kHungOutputMarginSeconds = 3;

// The time left for the line that reports a stuck output: standard error
// may be stuck as well.
constexpr unsigned kStallReportSeconds = 1;

constexpr uint64_t kMillisecondsPerSecond = 1000;

// Where close_range is missing, descriptors are closed one by one up to the
// open-file limit, but never more than this many: the guard holds a handful,
// all with low numbers.
constexpr rlim_t kMostDescriptorsClosed = 65536;

// Stops from a service manager, a terminal or a hang-up. Left at their
// default actions they would end the child with its output still on.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

constexpr char kStallMessage[] = "Alarm output not responding, alarm abandoned\n";

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

// Installed with SA_NODEFER: when the report itself blocks, the next expiry
// comes into this handler again and ends the child.
void EndStalledChild(int) {
  static volatile sig_atomic_t reporting = 0;
  if (reporting == 0) {
    reporting = 1;
    alarm(kStallReportSeconds);
    const ssize_t ignored = write(STDERR_FILENO, kStallMessage, sizeof kStallMessage - 1);
    static_cast<void>(ignored);
  }
  _exit(0);
}

// Without SA_RESTART, so that a signal cuts a sleep or a blocking device
// call short and the driver sees the stop at once.
void Handle(int signal, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(signal, &action, nullptr);
}

unsigned LimitSeconds(const AlarmStep* pattern, int32_t step_count) {
  uint64_t total_ms = 0;
  for (int32_t i = 0; i < step_count; ++i) total_ms += pattern[i].duration_ms;
  const uint64_t seconds =
      (total_ms + kMillisecondsPerSecond - 1) / kMillisecondsPerSecond + kHungOutputMarginSeconds;
  return seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned>(seconds);
}

// The guard's control client, listening socket, CAN socket, key device,
// inotify watch and whatever else it holds: a replaced client must see end
// of file at once, and a stuck child must hold nothing of the guard's. The
// guard keeps 0-2 open, so all of its own are above; 0-2 stay for the
// child's messages.
void CloseGuardDescriptors() {
  if (close_range(3, ~0U, 0) == 0) return;
  rlimit limit = {};
  rlim_t end = kMostDescriptorsClosed;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < end) end = limit.rlim_cur;
  for (rlim_t fd = 3; fd < end; ++fd) close(static_cast<int>(fd));
}

}  // namespace

void PrepareAlarmChild(pid_t guard, const AlarmStep* pattern, int32_t step_count) {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kStopSignals) {
    Handle(signal, RequestStop, 0);
    sigaddset(&handled, signal);
  }
  Handle(SIGALRM, EndStalledChild, SA_NODEFER);
  sigaddset(&handled, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);

  // The guard's death stops the child like a stop signal. A guard that died
  // before the request took effect shows in the child's changed parent.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != guard) stop_requested = 1;

  // Inherited from the guard: at the same FIFO priority a busy child could
  // keep the guard from running on the unit's single core.
  const sched_param normal = {};
  sched_setscheduler(0, SCHED_OTHER, &normal);

  CloseGuardDescriptors();
  alarm(LimitSeconds(pattern, step_count));
}

bool AlarmStopRequested() { return stop_requested != 0; }
