// Every record the guard's decisions can reach, under every pass the loop
// can produce, each transition checked against the safety monitor; on a
// broken property, the shortest trace that breaks it.
//
// The real decision core is driven, not a model of it. Clocks are kept
// relative to the latest pass, so a record met again later is the same
// record, and on a grid that every constant (the 1 s hold, the 3 s window,
// the 250 ms interval), lag and lateness tried is a multiple of: a pass
// comes at once after the last, or at each instant where a decision can
// change (a deadline, the monitor's due times, a held key's second), the
// nanosecond either side of it, and late; the nanoseconds a pass lands off
// the grid are not carried on. A clock older than anything it can meet is
// floored, one that no longer matters zeroed.
#include <linux/input.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/monotonic_time.h"
#include "guard/decision/guard_decision.h"
#include "guard/tests/safety_monitor.h"

namespace {

constexpr int64_t kMs = kNanosecondsPerMillisecond;
constexpr int64_t kSecond = kNanosecondsPerSecond;
constexpr int64_t kGrid = 125 * kMs;
constexpr int64_t kInterval = kStandbyIntervalMicroseconds * 1000;
constexpr int64_t kNow = 100 * kSecond;  // where the latest pass stands in a stored record
constexpr int64_t kUpLate = 25 * kGrid;  // a key-up read after its window
constexpr size_t kMostNodes = 3000000;

struct Node {
  GuardRecord guard;
  SafetyMonitor monitor;
};

// Where a pass is tried: at once only; also at a held chord's second (a
// key-up); also at the deadlines; also late (a 2, and the two below); also
// when a refused frame is due again (a time-out or a frame, and these
// passes also have their command refused).
enum When : int { AtOnce, AtHoldEnd, AtDeadlines, AtLate, AtRetries };

struct PassSpec {
  const char* said;
  When when;
  bool timed_out;
  uint16_t code;  // 0: no key event
  int32_t value;
  int64_t lag;  // how long before its read the key moved (0: a FIFO's read time)
  bool lost;
  uint8_t bytes[2];
  uint8_t byte_count;
  bool gone;
  int8_t status;  // -1 none; 0 engaged; 1 standby; 2 a frame that is no autopilot status
};

constexpr PassSpec kPasses[] = {
    {"select times out", AtRetries, true, 0, 0, 0, false, {}, 0, false, -1},
    {"key 30 down", AtOnce, false, KEY_A, 1, 0, false, {}, 0, false, -1},
    {"key 30 down, stamped 125 ms before its read", AtOnce, false, KEY_A, 1, kGrid, false, {}, 0, false, -1},
    {"key 30 down, stamped 125 ms before its read; byte 2", AtOnce, false, KEY_A, 1, kGrid, false, {2}, 1, false, -1},
    {"key 30 up", AtHoldEnd, false, KEY_A, 0, 0, false, {}, 0, false, -1},
    {"key 30 up; byte 2", AtHoldEnd, false, KEY_A, 0, 0, false, {2}, 1, false, -1},
    {"key 30 up, stamped 125 ms before its read", AtHoldEnd, false, KEY_A, 0, kGrid, false, {}, 0, false, -1},
    {"key 30 up, stamped 3125 ms before its read", AtHoldEnd, false, KEY_A, 0, kUpLate, false, {}, 0, false, -1},
    {"key 30 up, stamped 3125 ms before its read; byte 2", AtHoldEnd, false, KEY_A, 0, kUpLate, false, {2}, 1,
     false, -1},
    {"key 38 down", AtOnce, false, KEY_L, 1, 0, false, {}, 0, false, -1},
    {"key 38 up", AtHoldEnd, false, KEY_L, 0, 0, false, {}, 0, false, -1},
    {"key 48 down", AtOnce, false, KEY_B, 1, 0, false, {}, 0, false, -1},
    {"key 30 repeats", AtOnce, false, KEY_A, 2, 0, false, {}, 0, false, -1},
    {"the keypad is unplugged", AtOnce, false, 0, 0, 0, true, {}, 0, false, -1},
    {"byte 0", AtDeadlines, false, 0, 0, 0, false, {0}, 1, false, -1},
    {"byte 1", AtDeadlines, false, 0, 0, 0, false, {1}, 1, false, -1},
    {"byte 2", AtLate, false, 0, 0, 0, false, {2}, 1, false, -1},
    {"bytes 0 0", AtDeadlines, false, 0, 0, 0, false, {0, 0}, 2, false, -1},
    {"bytes 0 1", AtDeadlines, false, 0, 0, 0, false, {0, 1}, 2, false, -1},
    {"bytes 0 2", AtDeadlines, false, 0, 0, 0, false, {0, 2}, 2, false, -1},
    {"bytes 1 0", AtDeadlines, false, 0, 0, 0, false, {1, 0}, 2, false, -1},
    {"bytes 1 1", AtDeadlines, false, 0, 0, 0, false, {1, 1}, 2, false, -1},
    {"bytes 1 2", AtDeadlines, false, 0, 0, 0, false, {1, 2}, 2, false, -1},
    {"bytes 2 0", AtDeadlines, false, 0, 0, 0, false, {2, 0}, 2, false, -1},
    {"bytes 2 1", AtDeadlines, false, 0, 0, 0, false, {2, 1}, 2, false, -1},
    {"bytes 2 2", AtDeadlines, false, 0, 0, 0, false, {2, 2}, 2, false, -1},
    {"the client leaves", AtDeadlines, false, 0, 0, 0, false, {}, 0, true, -1},
    {"autopilot status: engaged", AtDeadlines, false, 0, 0, 0, false, {}, 0, false, 0},
    {"autopilot status: standby", AtDeadlines, false, 0, 0, 0, false, {}, 0, false, 1},
    {"a CAN frame, no autopilot status", AtRetries, false, 0, 0, 0, false, {}, 0, false, 2},
};

PassReading Reading(const PassSpec& pass, int64_t now) {
  PassReading reading = {};
  reading.began = NanosecondsToTimespec(now);
  reading.timed_out = pass.timed_out;
  reading.can.statuses = {pass.status == 0 || pass.status == 1 ? 1U : 0U, pass.status == 1, 0, 0};
  reading.can.drained_at = reading.began;
  reading.control = {pass.byte_count, {pass.bytes[0], pass.bytes[1]}, reading.began, pass.gone};
  reading.key.device_lost = pass.lost;
  reading.key.read = pass.code != 0;
  reading.key.read_at = reading.began;
  // A FIFO keypad's events are dated by their read, to the nanosecond; a
  // device's by its stamp, in microseconds.
  reading.key.stamps_monotonic = pass.lag > 0;
  const timespec moved = NanosecondsToTimespec(now - pass.lag);
  reading.key.event.input_event_sec = moved.tv_sec;
  reading.key.event.input_event_usec = moved.tv_nsec / kNanosecondsPerMicrosecond;
  reading.key.event.type = EV_KEY;
  reading.key.event.code = pass.code;
  reading.key.event.value = pass.value;
  return reading;
}

// The nearest multiple of grid.
int64_t Rounded(int64_t relative, int64_t grid) {
  const int64_t below = (relative >= 0 ? relative : relative - grid + 1) / grid;
  return (below + (relative - below * grid >= grid / 2 ? 1 : 0)) * grid;
}

int64_t OnGrid(int64_t relative) { return Rounded(relative, kGrid); }

// A clock seen `by` later, on the grid, no further back than `floor`.
void Shift(int64_t* clock, int64_t by, int64_t floor) { *clock = kNow + std::max(OnGrid(*clock - by - kNow), -floor); }

void Shift(timespec* clock, int64_t by, int64_t floor) {
  int64_t at = TimespecNanoseconds(*clock);
  Shift(&at, by, floor);
  *clock = NanosecondsToTimespec(at);
}

// A 2's read time: whether it came before the held chord's key-down
// survives the grid and the floor (below any key-down to come).
void ShiftRead(int64_t* read, int64_t by, bool held, int64_t down_before, int64_t down) {
  const bool before = held && *read < down_before;
  Shift(read, by, 2 * kGrid);
  if (held) *read = before ? std::min(*read, down - kGrid) : std::max(*read, down);
}

Node Normalized(Node node, int64_t by) {
  constexpr int64_t kChordFloor = kSecond + kGrid;  // no longer short: a key-up read late moved after the last pass
  GuardRecord& g = node.guard;
  SafetyMonitor& m = node.monitor;
  Shift(&g.deadline, by, kInterval + kGrid);  // only the next interval's start can still depend on it
  const int64_t guard_down = TimespecNanoseconds(g.keys.down_time);
  Shift(&g.keys.down_time, by, kChordFloor);
  int64_t read = TimespecNanoseconds(g.confirmation_read_at);
  ShiftRead(&read, by, g.keys.keys_down != 0, guard_down, TimespecNanoseconds(g.keys.down_time));
  g.confirmation_read_at = NanosecondsToTimespec(read);
  const int64_t monitor_down = m.chord_down;
  Shift(&m.chord_down, by, kChordFloor);
  ShiftRead(&m.confirmation_read, by, m.keys_down != 0, monitor_down, m.chord_down);
  Shift(&m.released, by, 3 * kSecond + kGrid);  // a 2 read later is late anyway
  Shift(&m.went_down, by, kGrid);
  Shift(&m.due, by, kGrid);
  Shift(&m.earliest, by, (kStandbyRetryLimit - m.commands) * kInterval + kGrid);
  if (g.keys.keys_down == 0) g.keys.down_time = {0, 0};
  if (g.timeout_armed == 0) g.deadline = {0, 0};
  if (!g.confirmation) g.confirmation_read_at = {0, 0};
  if (m.keys_down == 0) m.chord_down = 0;
  if (!m.confirmation) m.confirmation_read = 0;
  if (m.commands > 0 || !m.open) m.released = m.went_down = 0;  // no 2 can count any more
  // A refused frame's retry is a few milliseconds off the grid: kept on
  // one of a millisecond.
  const auto ms = [by](int64_t clock) { return kNow + Rounded(clock - by - kNow, kMs); };
  g.retry_at = g.command_waiting ? NanosecondsToTimespec(ms(TimespecNanoseconds(g.retry_at))) : timespec{0, 0};
  m.refused_at = m.refused_waiting ? ms(m.refused_at) : 0;
  if (!m.open) {
    m.confirmed = m.standby_heard = false;
    m.commands = 0;
    m.due = m.earliest = 0;
  }
  return node;
}

// A node's identity, field by field: a struct's padding is no part of it.
using NodeKey = std::array<int64_t, 27>;

struct NodeKeyHash {
  size_t operator()(const NodeKey& key) const {
    uint64_t hash = 1469598103934665603ULL;
    for (int64_t word : key) hash = (hash ^ static_cast<uint64_t>(word)) * 1099511628211ULL;
    return static_cast<size_t>(hash ^ (hash >> 29));
  }
};

NodeKey Key(const Node& node) {
  const GuardRecord& g = node.guard;
  const SafetyMonitor& m = node.monitor;
  return {g.state, TimespecNanoseconds(g.deadline), g.timeout_armed, g.retry_count, g.ping_standing,
          g.confirmation, TimespecNanoseconds(g.confirmation_read_at), g.keys.keys_down,
          TimespecNanoseconds(g.keys.down_time), g.standby_heard, m.keys_down, m.chord_down, m.ping_standing,
          m.confirmation, m.confirmation_read, m.open, m.confirmed, m.released, m.went_down, m.commands, m.due,
          m.earliest, m.standby_heard, g.command_waiting, TimespecNanoseconds(g.retry_at), m.refused_waiting,
          m.refused_at};
}

// The moments a pass of the kind is tried at; with nothing armed or held,
// also long enough later for every clock to stop mattering.
std::vector<int64_t> Moments(const Node& node, When when) {
  std::vector<int64_t> instants;
  const bool deadlines = when >= AtDeadlines;
  if (deadlines && node.guard.timeout_armed != 0) instants.push_back(TimespecNanoseconds(node.guard.deadline));
  if (deadlines && node.monitor.open) instants.insert(instants.end(), {node.monitor.due, node.monitor.earliest});
  // A refused frame's moments: its retry and the nanosecond before, the
  // nanosecond before the soonest the monitor allows, the latest.
  std::vector<int64_t> retries;
  if (when == AtRetries && node.guard.command_waiting) {
    retries.insert(retries.end(), {TimespecNanoseconds(node.guard.retry_at) - 1, TimespecNanoseconds(node.guard.retry_at)});
  }
  if (when == AtRetries && node.monitor.refused_waiting) {
    retries.insert(retries.end(), {node.monitor.refused_at + kMs - 1, node.monitor.refused_at + 10 * kMs});
  }
  if (when == AtHoldEnd && node.monitor.keys_down != 0) instants.push_back(node.monitor.chord_down + kSecond);
  std::vector<int64_t> moments = {kNow};
  if (node.guard.timeout_armed == 0 && !node.guard.command_waiting && node.monitor.keys_down == 0) {
    moments.push_back(kNow + 10 * kSecond);
  }
  const auto add = [&moments](int64_t at) {
    if (at >= kNow && std::find(moments.begin(), moments.end(), at) == moments.end()) moments.push_back(at);
  };
  for (int64_t instant : instants) {
    for (int64_t at : {instant - 1, instant, instant + 1}) add(at);
    if (when >= AtLate) {
      add(instant + kGrid);
      add(instant + 3 * kGrid);
    }
  }
  for (int64_t at : retries) add(at);
  return moments;
}

struct Step {
  uint32_t from;
  uint16_t pass;
  int64_t advance;
  bool refused;  // the pass's command frames were refused by a full transmit queue
};

bool Sends(const GuardActions& actions) {
  for (size_t i = 0; i < actions.count; ++i) {
    if (actions.list[i].kind == ActSendStandby || actions.list[i].kind == ActResendCommand) return true;
  }
  return false;
}

std::string Said(const GuardActions& actions) {
  static const char* const kKinds[] = {"standby command", "warning", "all-clear", "echo", "episode begins",
                                       "episode ends", "unexpected time-out", "command sent again",
                                       "command given up"};
  static const char* const kEnds[] = {"", " (confirmed)", " (standby reported)", " (given up)"};
  std::string said;
  for (size_t i = 0; i < actions.count; ++i) {
    said += (i > 0 ? ", " : "") + std::string(kKinds[actions.list[i].kind]);
    if (actions.list[i].kind == ActEndEpisode) said += kEnds[actions.list[i].end];
  }
  return said.empty() ? "nothing" : said;
}

void PrintTrace(const std::vector<Node>& nodes, const std::vector<Step>& steps, Step last, const char* broken) {
  std::vector<Step> path = {last};
  for (uint32_t at = last.from; at != 0; at = steps[at].from) path.push_back(steps[at]);
  std::reverse(path.begin(), path.end());
  std::printf("BROKEN: %s\nshortest trace, in seconds from the start:\n", broken);
  int64_t clock = 0;
  for (const Step& step : path) {
    clock += step.advance;
    Node next = nodes[step.from];
    GuardActions actions = {};
    const PassReading reading = Reading(kPasses[step.pass], kNow + step.advance);
    DecideGuardPass(next.guard, reading, &next.guard, &actions);
    std::string said = Said(actions);
    if (step.refused) {
      PassReading refusal = {};
      refusal.began = reading.began;
      refusal.command_refused = true;
      DecideGuardPass(next.guard, refusal, &next.guard, &actions);
      said += "; its frame refused (transmit queue full) -> " + Said(actions);
    }
    std::printf("  %12.9f  %-52s -> %s\n", static_cast<double>(clock) / kSecond, kPasses[step.pass].said,
                said.c_str());
  }
}

}  // namespace

int main() {
  const auto started = std::chrono::steady_clock::now();
  std::vector<Node> nodes = {Normalized({NewGuardRecord(), NewSafetyMonitor()}, kNow)};
  std::vector<Step> steps = {{0, 0, 0, false}};
  std::unordered_map<NodeKey, uint32_t, NodeKeyHash> seen = {{Key(nodes[0]), 0}};
  seen.reserve(1 << 18);
  uint64_t transitions = 0;
  for (uint32_t at = 0; at < nodes.size(); ++at) {
    const std::vector<int64_t> moments[] = {Moments(nodes[at], AtOnce), Moments(nodes[at], AtHoldEnd),
                                            Moments(nodes[at], AtDeadlines), Moments(nodes[at], AtLate),
                                            Moments(nodes[at], AtRetries)};
    for (uint16_t p = 0; p < static_cast<uint16_t>(std::size(kPasses)); ++p) {
      const PassSpec& pass = kPasses[p];
      // A key event read late was read after a stall: no pass came between
      // its moment and its read.
      const std::vector<int64_t> stalled = {kNow + pass.lag};
      for (int64_t moment : pass.lag > 0 ? stalled : moments[pass.when]) {
        const Node from = nodes[at];  // a copy: pushing a node may move them all
        timespec wake;
        if (pass.timed_out && (!GuardWakeTime(from.guard, &wake) || moment < TimespecNanoseconds(wake))) continue;
        // A keypad's stamps come in order: none before the held chord began.
        if (pass.code != 0 && from.monitor.keys_down != 0 && moment - pass.lag < from.monitor.chord_down) continue;
        // Each pass as it was, and, when it sent a command's frames, with
        // the full transmit queue refusing them.
        for (const bool refused : {false, true}) {
          const PassReading reading = Reading(pass, moment);
          Node next = from;
          GuardActions actions = {};
          DecideGuardPass(from.guard, reading, &next.guard, &actions);
          transitions += 1;
          const char* broken = CheckGuardPass(&next.monitor, reading, actions, next.guard);
          if (refused && broken == nullptr) {
            if (pass.when != AtRetries || !Sends(actions)) break;
            PassReading refusal = {};
            refusal.began = reading.began;
            refusal.command_refused = true;
            DecideGuardPass(next.guard, refusal, &next.guard, &actions);
            broken = CheckGuardPass(&next.monitor, refusal, actions, next.guard);
          }
          if (broken != nullptr) {
            PrintTrace(nodes, steps, {at, p, moment - kNow, refused}, broken);
            return 1;
          }
          next = Normalized(next, moment - kNow);
          if (seen.try_emplace(Key(next), static_cast<uint32_t>(nodes.size())).second) {
            nodes.push_back(next);
            steps.push_back({at, p, moment - kNow, refused});
          }
          if (nodes.size() > kMostNodes) {
            std::printf("more than %zu records: the abstraction is not bounded\n", kMostNodes);
            return 1;
          }
        }
      }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("explored %zu records and %llu transitions in %.2f s: every property holds on each\n",
              nodes.size(), static_cast<unsigned long long>(transitions), seconds);
  return 0;
}
