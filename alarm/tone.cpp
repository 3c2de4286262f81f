#include "alarm/tone.h"

#include <cstddef>

namespace {

// The wave's peak of 1.0 maps to the largest positive sample.
constexpr double kToneScale = 32767.0;

// y = 4/π·x − 4/π²·x·|x| is a parabola through the sine's zeros and peaks;
// the second pass, y + 0.225·(y·|y| − y), pulls it to within about 0.11
// per cent of the sine's peak.
constexpr double kParabolaLinear = 1.27323954;
constexpr double kParabolaSquare = 0.405284735;
constexpr double kRefinement = 0.225;

double ToneValue(double phase) {
  double x = phase;
  if (phase < -kTonePi) {
    x = phase + kToneTwoPi;
  } else if (phase > kTonePi) {
    x = phase - kToneTwoPi;
  }

  const double t = (x * kParabolaSquare) * x;
  double y = x < 0 ? t + x * kParabolaLinear : x * kParabolaLinear - t;

  const double d = y < 0 ? -y - y * y : y * y - y;
  y = y + d * kRefinement;
  return y;
}

void StoreSample(unsigned char* frame, int32_t sample) {
  // The low 16 bits, low byte first, whatever the host's byte order.
  const auto bits = static_cast<uint16_t>(static_cast<uint32_t>(sample) & 0xFFFFU);
  const auto low = static_cast<unsigned char>(bits & 0xFFU);
  const auto high = static_cast<unsigned char>(bits >> 8U);
  frame[0] = low;
  frame[1] = high;
  frame[2] = low;
  frame[3] = high;
}

}  // namespace

double SynthesizeTone(unsigned char* frames, int32_t frame_count, double phase, double increment) {
  for (int32_t i = 0; i < frame_count; ++i) {
    const auto sample = static_cast<int32_t>(ToneValue(phase) * kToneScale);
    StoreSample(frames + static_cast<ptrdiff_t>(i) * kToneFrameBytes, sample);
    phase = phase + increment;
    if (phase >= kToneTwoPi) phase = phase - kToneTwoPi;
  }
  return phase;
}
