// The speaker's tone: a sine-shaped wave from a parabolic approximation in
// double precision, cheap enough for the unit's slow ARM core without a
// table or a library sine.
#pragma once

#include <cstdint>

// Bytes of one frame: left then right, each signed 16-bit little-endian.
inline constexpr int32_t kToneFrameBytes = 4;

inline constexpr double kTonePi = 3.141592653589793;
inline constexpr double kToneTwoPi = 6.283185307179586;

// Fills frame_count frames at frames with the wave from phase on (radians in
// [0, 2π)), the phase advancing by increment per frame, and returns the phase
// after the last frame. Both channels carry the same sample, at most 32767 in
// size. An increment of 0 repeats the wave's value at phase.
double SynthesizeTone(unsigned char* frames, int32_t frame_count, double phase, double increment);
