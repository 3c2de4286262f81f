// The UI client's reading of the guard's answers, over a socket pair with the
// target playing the guard: it sends arbitrary bytes, ends its side or closes
// it between the client's calls, and decides what happens while the client
// waits in poll (bytes, its end, a close, an interrupted or failed poll, or
// nothing until the time-out), all on a virtual clock. The pair blocks: a
// call that read or sent without MSG_DONTWAIT would hang the run.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "client/helmwatch_client.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/virtual_clock.h"

namespace {

constexpr int64_t kMillisecond = kNanosecondsPerMillisecond;

// The pair and what the guard's side has done so far.
struct Peer {
  int client = -1;
  int guard = -1;        // -1 once closed
  bool ended = false;    // end of file is on its way to the client
  size_t pending = 0;    // bytes sent and not yet read by the client
  std::string received;  // what the client sent, read by the guard's side
};

Peer peer;
FuzzedDataProvider* script = nullptr;

// The call under way: where its time-out ends on the virtual clock, whether
// bytes came while it waited, whether a poll failed.
bool in_call = false;
int64_t call_limit_ns = 0;
bool arrived_in_wait = false;
bool poll_failed = false;

// Returns the number of bytes that went out: as the guard does, nothing
// waits for a client that does not read, and what does not fit is dropped.
size_t GuardSends(size_t count) {
  if (peer.guard < 0 || peer.ended) return 0;
  std::vector<uint8_t> bytes = script->ConsumeBytes<uint8_t>(count);
  if (bytes.empty()) bytes.push_back(HELMWATCH_PING);
  const ssize_t sent = send(peer.guard, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  FUZZ_CHECK(sent > 0 || errno == EAGAIN, "the guard's side sends or finds the client's queue full");
  const size_t went = sent > 0 ? static_cast<size_t>(sent) : 0;
  peer.pending += went;
  return went;
}

void GuardEnds() {
  if (peer.guard >= 0) shutdown(peer.guard, SHUT_WR);
  peer.ended = true;
}

void GuardCloses() {
  if (peer.guard >= 0) close(peer.guard);
  peer.guard = -1;
  peer.ended = true;
}

// Reads what the client sent since the last look.
void GuardReads() {
  if (peer.guard < 0) return;
  char bytes[64];
  ssize_t got;
  while ((got = recv(peer.guard, bytes, sizeof bytes, MSG_DONTWAIT)) > 0) {
    peer.received.append(bytes, static_cast<size_t>(got));
  }
}

void AdvanceMilliseconds(int64_t milliseconds) { virtual_now_ns += milliseconds * kMillisecond; }

// What the client's one way of waiting meets.
enum WaitEvent : int {
  WaitTimesOut = 0,
  WaitBytes,
  WaitEnd,
  WaitClose,
  WaitInterrupted,
  WaitFails,
  kLastWaitEvent = WaitFails,
};

}  // namespace

// Replaces the C library's poll (and the sanitizers' weak interceptor); only
// calls made by the client during a fuzzed call are scripted.
extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
  if (!in_call) {
    timespec limit = {timeout / 1000, (timeout % 1000) * kMillisecond};
    return ppoll(fds, count, timeout < 0 ? nullptr : &limit, nullptr);
  }
  FUZZ_CHECK(count == 1 && fds[0].fd == peer.client && (fds[0].events & POLLIN) != 0,
             "the client waits for its own connection");
  FUZZ_CHECK(peer.pending == 0 && !peer.ended, "the client waits only with nothing to read");
  FUZZ_CHECK(timeout > 0, "the client waits only with time left");
  FUZZ_CHECK(virtual_now_ns + timeout * kMillisecond <= call_limit_ns + kMillisecond,
             "the client never waits beyond its time-out");

  fds[0].revents = 0;
  const auto event = static_cast<WaitEvent>(
      script->remaining_bytes() == 0 ? WaitTimesOut : script->ConsumeIntegralInRange<int>(0, kLastWaitEvent));
  if (event == WaitTimesOut) {
    AdvanceMilliseconds(timeout);
    return 0;
  }
  AdvanceMilliseconds(script->ConsumeIntegralInRange<int>(0, timeout));
  switch (event) {
    case WaitBytes:
      if (GuardSends(script->ConsumeIntegralInRange<size_t>(1, 8)) > 0) arrived_in_wait = true;
      break;
    case WaitEnd:
      GuardEnds();
      break;
    case WaitClose:
      GuardCloses();
      break;
    case WaitInterrupted:
      errno = EINTR;
      return -1;
    default:
      poll_failed = true;
      errno = ENOMEM;
      return -1;
  }
  timespec no_wait = {0, 0};
  return ppoll(fds, count, &no_wait, nullptr);
}

namespace {

struct Outcome {
  int result;
  int error;
};

// Runs one client call with timeout_ms on the virtual clock.
template <typename Call>
Outcome RunCall(int timeout_ms, Call call) {
  call_limit_ns = virtual_now_ns + (timeout_ms > 0 ? timeout_ms : 0) * kMillisecond;
  arrived_in_wait = false;
  poll_failed = false;
  in_call = true;
  virtual_clock_on = true;
  errno = 0;
  const int result = call();
  const int error = errno;
  virtual_clock_on = false;
  in_call = false;
  return {result, error};
}

// A call that fails because the guard's side is gone says so: EPIPE for its
// end, or ECONNRESET when it closed with the client's bytes unread.
bool GoneError(int error) {
  return error == EPIPE || (peer.guard < 0 && error == ECONNRESET);
}

void CheckSent(const Outcome& outcome, const std::string& bytes) {
  GuardReads();
  if (outcome.result < 0) {
    FUZZ_CHECK(peer.received.empty() || bytes.starts_with(peer.received),
               "a failed call sent part of its bytes at most");
  } else if (peer.guard >= 0) {
    FUZZ_CHECK(peer.received == bytes, "the call sent its bytes");
  }
  peer.received.clear();
}

// Whether a call's time ran out on the virtual clock, at the client's own
// millisecond resolution.
bool TimeRanOut(int64_t start_ns, int timeout_ms) {
  return virtual_now_ns / kMillisecond - start_ns / kMillisecond >= (timeout_ms > 0 ? timeout_ms : 0);
}

void ReadEchoes(int timeout_ms) {
  const size_t before = peer.pending;
  const int64_t start = virtual_now_ns;
  const Outcome got = RunCall(timeout_ms, [&] { return HelmwatchReadEchoes(peer.client, timeout_ms); });
  if (poll_failed) {
    FUZZ_CHECK(got.result == -1, "a failed wait is a failed call");
  } else if (peer.ended) {
    FUZZ_CHECK(got.result == -1 && GoneError(got.error), "the end of the connection is -1, EPIPE");
  } else if (peer.pending > 0) {
    FUZZ_CHECK(got.result == static_cast<int>(peer.pending), "every byte that came is counted");
  } else {
    FUZZ_CHECK(got.result == 0 && before == 0, "nothing came");
    FUZZ_CHECK(TimeRanOut(start, timeout_ms), "0 only once the time is up");
  }
  if (got.result >= 0 || peer.ended) peer.pending = 0;
  CheckSent(got, "");
}

void Ping(int timeout_ms) {
  const int64_t start = virtual_now_ns;
  // Its first look takes whatever came before the question.
  peer.pending = 0;
  const Outcome got = RunCall(timeout_ms, [&] { return HelmwatchPing(peer.client, timeout_ms); });
  if (poll_failed) {
    FUZZ_CHECK(got.result == -1, "a failed wait is a failed call");
  } else if (peer.ended) {
    FUZZ_CHECK(got.result == -1 && GoneError(got.error), "the end of the connection is -1, EPIPE");
  } else if (arrived_in_wait) {
    FUZZ_CHECK(got.result == 1, "an answer while waiting is the guard's answer");
  } else {
    FUZZ_CHECK(got.result == 0, "answers from before the question do not count");
    FUZZ_CHECK(TimeRanOut(start, timeout_ms), "0 only once the time is up");
  }
  // Whatever it returned, it leaves nothing behind to be taken for the
  // answer to a later question.
  if (got.result >= 0) {
    char byte;
    FUZZ_CHECK(recv(peer.client, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN,
               "the answers are discarded");
  }
  if (got.result >= 0 || peer.ended) peer.pending = 0;
  const char question[] = {HELMWATCH_PING, HELMWATCH_WITHDRAW};
  CheckSent(got, std::string(question, sizeof question));
}

void SendsOneByte(int (*call)(int), char byte) {
  const Outcome got = RunCall(0, [&] { return call(peer.client); });
  if (peer.guard < 0) {
    FUZZ_CHECK(got.result == -1 && got.error == EPIPE, "a closed connection is -1, EPIPE");
  } else {
    FUZZ_CHECK(got.result == 0, "a byte goes out while the guard's side is open");
  }
  CheckSent(got, std::string(1, byte));
}

// Mostly no wait at all; sometimes up to 5 s, or a negative time-out.
int TimeoutMilliseconds(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? 0 : input.ConsumeIntegralInRange<int>(-10, 5000);
}

enum Step : int {
  StepGuardSends = 0,
  StepGuardEnds,
  StepGuardCloses,
  StepReadEchoes,
  StepPing,
  StepConfirm,
  StepWithdraw,
  kLastStep = StepWithdraw,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // As a UI application would have it; the client must not rely on it.
  return signal(SIGPIPE, SIG_DFL) == SIG_ERR ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  script = &input;
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "a socket pair");
  peer = Peer{};
  peer.client = pair[0];
  peer.guard = pair[1];
  virtual_now_ns = input.ConsumeIntegralInRange<int64_t>(0, int64_t{1} << 50);

  while (input.remaining_bytes() > 0) {
    switch (static_cast<Step>(input.ConsumeIntegralInRange<int>(0, kLastStep))) {
      case StepGuardSends:
        GuardSends(input.ConsumeIntegralInRange<size_t>(1, 300));
        break;
      case StepGuardEnds:
        GuardEnds();
        break;
      case StepGuardCloses:
        GuardCloses();
        break;
      case StepReadEchoes:
        ReadEchoes(TimeoutMilliseconds(input));
        break;
      case StepPing:
        Ping(TimeoutMilliseconds(input));
        break;
      case StepConfirm:
        SendsOneByte(HelmwatchConfirm, HELMWATCH_CONFIRM);
        break;
      case StepWithdraw:
        SendsOneByte(HelmwatchWithdraw, HELMWATCH_WITHDRAW);
        break;
    }
  }

  HelmwatchClose(peer.client);
  if (peer.guard >= 0) close(peer.guard);
  peer = Peer{};
  script = nullptr;
  return 0;
}
