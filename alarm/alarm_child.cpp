#include "alarm/alarm_child.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/monotonic_time.h"

namespace {

// Beyond the pattern's own time a child may need ALSA's set-up and the drain
// of its half-second buffer on the unit's slow core, and the delays of a
// busy machine. A child still there after this margin is stuck on its device.
constexpr unsigned kHungOutputMarginSeconds = 3;

// The time left for the line that reports a stuck output: standard error
// may be stuck as well.
constexpr unsigned kStallReportSeconds = 1;

constexpr auto kStepMillisecondsPerSecond = static_cast<uint64_t>(kMillisecondsPerSecond);

// Where close_range is missing, descriptors are closed one by one up to the
// open-file limit, but never more than this many: the guard holds a handful,
// all with low numbers.
constexpr rlim_t kMostDescriptorsClosed = 65536;

// Stops from a service manager, a terminal or a hang-up, and from the guard
// through the child's link (SIGIO). Left at their default actions they would
// end the child with its output still on.
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGIO};

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
      (total_ms + kStepMillisecondsPerSecond - 1) / kStepMillisecondsPerSecond + kHungOutputMarginSeconds;
  return seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned>(seconds);
}

// Closes first..last, one by one up to end where close_range is missing.
void CloseDescriptors(unsigned first, unsigned last, rlim_t end) {
  if (first > last || close_range(first, last, 0) == 0) return;
  for (rlim_t fd = first; fd <= last && fd < end; ++fd) close(static_cast<int>(fd));
}

// The guard's control client, listening socket, CAN socket, key device,
// inotify watch and whatever else it holds: a replaced client must see end
// of file at once, and a stuck child must hold nothing of the guard's. The
// guard keeps 0-2 open, so all of its own are above; 0-2 stay for the
// child's messages, and the links (-1 for none) stay for the child's stop
// and its wait.
void CloseGuardDescriptors(int link, int other_link) {
  rlimit limit = {};
  rlim_t end = kMostDescriptorsClosed;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < end) end = limit.rlim_cur;
  const int kept[] = {link < other_link ? link : other_link, link < other_link ? other_link : link};
  unsigned first = 3;
  for (const int fd : kept) {
    if (fd < static_cast<int>(first)) continue;
    CloseDescriptors(first, static_cast<unsigned>(fd) - 1, end);
    first = static_cast<unsigned>(fd) + 1;
  }
  CloseDescriptors(first, ~0U, end);
}

// The guard shuts its end of the link down to stop the child, or closes it
// by dying: either is an end of file here, which raises SIGIO. One that came
// before SIGIO was asked for shows at the check that follows.
void TakeEndOfFileAsStop(int own_link) {
  if (own_link < 0) return;
  fcntl(own_link, F_SETOWN, getpid());
  const int flags = fcntl(own_link, F_GETFL);
  if (flags != -1) fcntl(own_link, F_SETFL, flags | O_ASYNC);
  pollfd link = {own_link, POLLIN, 0};
  if (poll(&link, 1, 0) > 0) stop_requested = 1;
}

// The predecessor's end of its link closes when the predecessor is gone.
// A stop does not end the wait: this child still switches its output off,
// which must not cross the predecessor's last writes either.
void AwaitPredecessor(int predecessor_link) {
  if (predecessor_link < 0) return;
  const timespec give_up = AddMicroseconds(MonotonicNow(), kPredecessorWaitMs * kMicrosecondsPerMillisecond);
  pollfd link = {predecessor_link, POLLIN, 0};
  for (;;) {
    const long long left_us = MicrosecondsBetween(MonotonicNow(), give_up);
    if (left_us <= 0) break;
    const int ready = poll(&link, 1, PollMilliseconds(left_us));
    if (ready > 0 || (ready < 0 && errno != EINTR)) break;
  }
  close(predecessor_link);
}

}  // namespace

void PrepareAlarmChild(pid_t guard, const AlarmStep* pattern, int32_t step_count, int own_link,
                       int predecessor_link) {
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

  CloseGuardDescriptors(own_link, predecessor_link);
  TakeEndOfFileAsStop(own_link);
  AwaitPredecessor(predecessor_link);
  alarm(LimitSeconds(pattern, step_count));
}

bool AlarmStopRequested() { return stop_requested != 0; }
