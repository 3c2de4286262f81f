// ALSA configurations for a machine without sound hardware. ALSA reads the
// file named by ALSA_CONFIG_PATH in place of its own alsa.conf, so each is
// self-contained.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "alarm/alarm.h"
#include "alarm/tests/alarm_test_support.h"
#include "alarm/tone.h"

namespace alarm_test {

// A default PCM that writes every frame it is given into played_path as
// raw bytes, at once rather than in real time: the null device behind it
// takes any rate and period, 44100 Hz and 2205 frames included. extra is
// appended as it is (a control device, for instance). Returns the path of
// the configuration written into directory, or "" when it cannot be written.
inline std::string WriteFilePcmConfig(const std::string& directory, const std::string& played_path,
                                      const std::string& extra = "") {
  const std::string path = directory + "/asound.conf";
  const std::string config =
      "pcm.default {\n"
      "  type file\n"
      "  slave.pcm \"discard\"\n"
      "  file \"" + played_path + "\"\n"
      "  format \"raw\"\n"
      "}\n"
      "pcm.discard {\n"
      "  type null\n"
      "}\n" + extra;
  return WriteFile(path, config) ? path : "";
}

// The frames that file holds after the steps are played with periods of
// period_frames: each step's tone made in one piece, the phase carried on
// from step to step, then zeros to a whole period. The tone itself is
// pinned down by the tone's own tests.
inline std::string ExpectedPlayedFrames(const std::vector<AlarmStep>& steps, size_t period_frames) {
  std::string bytes;
  double phase = 0.0;
  for (const AlarmStep& step : steps) {
    const uint32_t frames = (44100U * step.duration_ms) / 1000U;
    std::string tone(size_t{frames} * kToneFrameBytes, '\0');
    phase = SynthesizeTone(reinterpret_cast<unsigned char*>(tone.data()), static_cast<int32_t>(frames), phase,
                           (step.frequency_hz * kToneTwoPi) / 44100.0);
    bytes += tone;
  }
  const size_t partial = bytes.size() / kToneFrameBytes % period_frames;
  if (partial != 0) bytes.append((period_frames - partial) * kToneFrameBytes, '\0');
  return bytes;
}

// A default control device of one two-channel mixer element through the
// test plugin at plugin_path (test_mixer_plugin.cpp), each value written to
// it appended to record_path; with refuse every write is refused. Goes into
// WriteFilePcmConfig's extra.
inline std::string TestMixerConfig(const std::string& plugin_path, const std::string& element, long min, long max,
                                   const std::string& record_path, bool refuse = false) {
  return "ctl_type.helmwatch_test {\n"
         "  lib \"" + plugin_path + "\"\n"
         "}\n"
         "ctl.default {\n"
         "  type helmwatch_test\n"
         "  element \"" + element + "\"\n"
         "  min " + std::to_string(min) + "\n"
         "  max " + std::to_string(max) + "\n"
         "  record \"" + record_path + "\"\n"
         "  refuse " + (refuse ? "true" : "false") + "\n"
         "}\n";
}

}  // namespace alarm_test
