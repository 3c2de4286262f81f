// The tone's shape against a true sine. Its exact samples, its peak, the
// silence after whole cycles and the frame layout are pinned down where the
// speaker plays them (speaker_alarm_test.cpp).
#include "alarm/tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

double IncrementFor(double frequency_hz) { return (frequency_hz * kToneTwoPi) / 44100.0; }

int16_t LeftSample(const std::vector<unsigned char>& frames, size_t frame) {
  const unsigned char* bytes = &frames[frame * kToneFrameBytes];
  return static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8U)));
}

TEST(Tone, StaysWithinAboutATenthOfAPerCentOfTheSine) {
  // Frequencies whose frames fall on many different phases, over whole turns.
  for (const double frequency : {440.0, 2900.0, 7919.0, 21000.0}) {
    SCOPED_TRACE(frequency);
    std::vector<unsigned char> frames(size_t{4410} * kToneFrameBytes);
    const double phase_after = SynthesizeTone(frames.data(), 4410, 0.0, IncrementFor(frequency));
    double phase = 0.0;
    double worst = 0;
    for (size_t frame = 0; frame < 4410; ++frame) {
      worst = std::max(worst, std::fabs(LeftSample(frames, frame) - std::sin(phase) * 32767.0));
      phase += IncrementFor(frequency);
      if (phase >= kToneTwoPi) phase -= kToneTwoPi;
    }
    EXPECT_LT(worst, 0.0012 * 32767.0);  // the parabola alone is 5.6 % off
    EXPECT_NEAR(phase_after, phase, 1e-9);
  }
}

}  // namespace
