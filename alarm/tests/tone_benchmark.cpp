// How fast the tone is made, one 50 ms period of 2205 frames at a time as the
// speaker player makes it. The unit's ARM core is far slower than a
// development machine: the figure to watch is the margin over real time.
#include <benchmark/benchmark.h>

#include <vector>

#include "alarm/tone.h"

namespace {

constexpr int32_t kPeriodFrames = 2205;
constexpr double kRealTimeFramesPerSecond = 44100.0;

void BM_SynthesizeTonePeriod(benchmark::State& state) {
  const double increment = (static_cast<double>(state.range(0)) * kToneTwoPi) / kRealTimeFramesPerSecond;
  std::vector<unsigned char> period(static_cast<size_t>(kPeriodFrames) * kToneFrameBytes);
  double phase = 0.0;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): Google Benchmark's loop form
  for (auto _ : state) {
    phase = SynthesizeTone(period.data(), kPeriodFrames, phase, increment);
    benchmark::DoNotOptimize(period.data());
    benchmark::ClobberMemory();
  }
  const auto frames = static_cast<double>(state.iterations()) * kPeriodFrames;
  state.counters["frames_per_second"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  // Seconds of sound made per second: how many times faster than playback.
  state.counters["realtime_ratio"] =
      benchmark::Counter(frames / kRealTimeFramesPerSecond, benchmark::Counter::kIsRate);
}

// The alarm tone, and a silent step (the phase does not move).
BENCHMARK(BM_SynthesizeTonePeriod)->Arg(2900)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
