// The speaker player through the real ALSA library, on a machine without a
// sound card: the default PCM writes every frame into a file at once, and a
// plugin control device stands in for the "DAC" mixer element. Each case runs
// in a child process, as in the daemon, with its own ALSA configuration.
#include "alarm/speaker_alarm.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "alarm/alarm_child.h"
#include "alarm/tests/alarm_test_support.h"
#include "alarm/tests/alsa_test_config.h"
#include "alarm/tone.h"

namespace {

using alarm_test::ChildResult;
using alarm_test::ReadFile;
using Steps = std::vector<AlarmStep>;

constexpr size_t kPeriodFrames = 2205;  // 50 ms at 44100 Hz, as the null device grants it

// Child exit codes telling what SetSpeakerVolume returned.
constexpr int kVolumeSet = 0;
constexpr int kVolumeNotSet = 10;

std::string ExpectedFrames(const Steps& steps) { return alarm_test::ExpectedPlayedFrames(steps, kPeriodFrames); }

int16_t Sample(const std::string& bytes, size_t frame, size_t channel = 0) {
  const auto low = static_cast<unsigned char>(bytes[frame * kToneFrameBytes + channel * 2]);
  const auto high = static_cast<unsigned char>(bytes[frame * kToneFrameBytes + channel * 2 + 1]);
  return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8U)));
}

bool AllZero(const std::string& bytes, size_t first_frame, size_t frame_count) {
  return std::all_of(bytes.begin() + static_cast<ptrdiff_t>(first_frame * kToneFrameBytes),
                     bytes.begin() + static_cast<ptrdiff_t>((first_frame + frame_count) * kToneFrameBytes),
                     [](char byte) { return byte == 0; });
}

// A control device of one element, through the test plugin.
struct Mixer {
  std::string element;
  long min;
  long max;
  bool refuse = false;
};

class SpeakerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // The control device's configuration, its writes recorded in mixer_record().
  std::string ControlConfig(const Mixer& mixer) const {
    return alarm_test::TestMixerConfig(HELMWATCH_TEST_MIXER_PLUGIN, mixer.element, mixer.min, mixer.max,
                                       mixer_record(), mixer.refuse);
  }

  std::string played() const { return dir_ / "played.raw"; }
  std::string mixer_record() const { return dir_ / "mixer.log"; }

  // As the alarm child does it: the volume at percent, then the steps.
  ChildResult Play(const Steps& steps, const std::string& extra_config = "", int percent = 100) {
    const std::string config = alarm_test::WriteFilePcmConfig(dir_.path(), played(), extra_config);
    return alarm_test::RunInChild([&] {
      if (config.empty() || setenv("ALSA_CONFIG_PATH", config.c_str(), 1) != 0) return 99;
      const int volume = SetSpeakerVolume(percent);
      PlayTonePattern(steps.data(), static_cast<int32_t>(steps.size()));
      return volume == 0 ? kVolumeSet : kVolumeNotSet;
    });
  }

  std::string PlayedBytes() const { return ReadFile(played()).value_or("(nothing played)"); }

  // Both channels as the last write to the element left them ("v0 v1"); the
  // simple mixer layer writes the element once per channel.
  std::string LastVolumes() const {
    const std::optional<std::string> record = ReadFile(mixer_record());
    if (!record || record->empty()) return "(never written)";
    const std::string lines = record->substr(0, record->size() - 1);
    return lines.substr(lines.rfind('\n') == std::string::npos ? 0 : lines.rfind('\n') + 1);
  }

  alarm_test::ScratchDirectory dir_;
  const Mixer dac_ = {"DAC Playback Volume", 0, 255};
};

// ---- What is played ----

TEST_F(SpeakerTest, WarningPatternIsSeventyFiveWholePeriods) {
  const Steps warning(kWarningPattern, kWarningPattern + kWarningPatternSteps);
  const ChildResult child = Play(warning, ControlConfig(dac_));
  EXPECT_EQ(child.Describe(), alarm_test::QuietExit(kVolumeSet));

  const std::string bytes = PlayedBytes();
  ASSERT_EQ(bytes.size(), 165375U * kToneFrameBytes);  // 75 × 2205 frames: nothing added
  EXPECT_TRUE(bytes == ExpectedFrames(warning));

  const int16_t first_samples[] = {0, 13141, 24123, 30996, 32657, 28852, 20170, 8051};
  for (size_t frame = 0; frame < 8; ++frame) EXPECT_EQ(Sample(bytes, frame), first_samples[frame]) << frame;
  for (size_t step = 0; step < 13; ++step) {
    SCOPED_TRACE("step " + std::to_string(step + 1));
    const size_t first = step * 11025;
    if (step % 2 == 1) {
      EXPECT_TRUE(AllZero(bytes, first, 11025));  // 725 whole cycles before it
      continue;
    }
    int16_t lowest = 0;
    int16_t highest = 0;
    const size_t frames = step == 12 ? 33075 : 11025;
    for (size_t frame = first; frame < first + frames; ++frame) {
      ASSERT_EQ(Sample(bytes, frame, 1), Sample(bytes, frame, 0)) << frame;
      lowest = std::min(lowest, Sample(bytes, frame));
      highest = std::max(highest, Sample(bytes, frame));
    }
    EXPECT_EQ(lowest, -32766);
    EXPECT_EQ(highest, 32766);
  }
}

TEST_F(SpeakerTest, ClearedPatternIsFifteenWholePeriods) {
  const Steps cleared(kClearedPattern, kClearedPattern + kClearedPatternSteps);
  const ChildResult child = Play(cleared, ControlConfig(dac_));
  EXPECT_EQ(child.Describe(), alarm_test::QuietExit(kVolumeSet));
  const std::string bytes = PlayedBytes();
  EXPECT_EQ(bytes.size(), 33075U * kToneFrameBytes);
  EXPECT_TRUE(bytes == ExpectedFrames(cleared));
}

TEST_F(SpeakerTest, ShortStepIsFilledWithZerosToAWholePeriod) {
  const ChildResult child = Play({{2900, 10}}, ControlConfig(dac_));
  EXPECT_EQ(child.exit_code(), kVolumeSet) << child.Describe();
  const std::string bytes = PlayedBytes();
  ASSERT_EQ(bytes.size(), kPeriodFrames * kToneFrameBytes);
  EXPECT_TRUE(bytes == ExpectedFrames({{2900, 10}}));
  EXPECT_EQ(Sample(bytes, 1), 13141);
  EXPECT_FALSE(AllZero(bytes, 0, 441));
  EXPECT_TRUE(AllZero(bytes, 441, 1764));
}

TEST_F(SpeakerTest, PhaseRunsOnAcrossPeriodsAndSteps) {
  // 55 ms of 1000 Hz is 2425 frames (the count truncated): more than a period
  // and not whole cycles, so the silence after it holds the wave's value
  // there, and the tone after the silence goes on from the same phase.
  const Steps steps = {{1000, 55}, {0, 10}, {440, 10}, {0, 0}, {2900, 1}};
  const ChildResult child = Play(steps, ControlConfig(dac_));
  EXPECT_EQ(child.exit_code(), kVolumeSet) << child.Describe();
  const std::string bytes = PlayedBytes();
  ASSERT_EQ(bytes.size(), 2 * kPeriodFrames * kToneFrameBytes);  // 2425 + 441 + 441 + 44 frames, filled
  EXPECT_TRUE(bytes == ExpectedFrames(steps));
  EXPECT_NE(Sample(bytes, 2425), 0);
  EXPECT_EQ(Sample(bytes, 2425 + 440), Sample(bytes, 2425));
  EXPECT_TRUE(AllZero(bytes, 2425 + 441 + 441 + 44, 2 * kPeriodFrames - 3351));
}

TEST_F(SpeakerTest, ToneAboveTheRateSoundsAsItsAlias) {
  // 47000 Hz moves the phase by more than a whole turn per frame; sampled at
  // 44100 Hz it is the 2900 Hz tone, to within rounding.
  const ChildResult child = Play({{47000, 10}}, ControlConfig(dac_));
  EXPECT_EQ(child.exit_code(), kVolumeSet) << child.Describe();
  const std::string bytes = PlayedBytes();
  const std::string alias = ExpectedFrames({{2900, 10}});
  ASSERT_EQ(bytes.size(), alias.size());
  for (size_t frame = 0; frame < 441; ++frame) {
    ASSERT_NEAR(Sample(bytes, frame), Sample(alias, frame), 1) << frame;
  }
}

TEST_F(SpeakerTest, NoStepsOpensTheDeviceAndPlaysNothing) {
  const ChildResult child = Play({}, ControlConfig(dac_));
  EXPECT_EQ(child.Describe(), alarm_test::QuietExit(kVolumeSet));
  // The file device makes its file once the stream is set up.
  EXPECT_EQ(ReadFile(played()), "");
}

TEST_F(SpeakerTest, NoDefaultDeviceLeavesOneLine) {
  const std::string config_path = dir_ / "empty.conf";
  ASSERT_TRUE(alarm_test::WriteFile(config_path, "pcm.other { type null }\n"));
  const ChildResult child = alarm_test::RunInChild([&] {
    setenv("ALSA_CONFIG_PATH", config_path.c_str(), 1);
    PlayTonePattern(kClearedPattern, kClearedPatternSteps);
    return 0;
  });
  EXPECT_EQ(child.exit_code(), 0) << child.Describe();
  EXPECT_EQ(child.output, "");
  EXPECT_EQ(child.error, std::string("Unable to open sound device default: ") + std::strerror(ENOENT) + "\n");
}

TEST_F(SpeakerTest, StopBeforeAPeriodIsWrittenPlaysNothing) {
  const std::string config = alarm_test::WriteFilePcmConfig(dir_.path(), played());
  const ChildResult child = alarm_test::RunInChild([&] {
    if (config.empty() || setenv("ALSA_CONFIG_PATH", config.c_str(), 1) != 0) return 99;
    PrepareAlarmChild(getppid(), kWarningPattern, kWarningPatternSteps, -1, -1);
    if (raise(SIGTERM) != 0) return 98;
    PlayTonePattern(kWarningPattern, kWarningPatternSteps);
    return 0;
  });
  EXPECT_EQ(child.Describe(), alarm_test::QuietExit(0));
  EXPECT_EQ(ReadFile(played()), "");  // made when the stream was set up
}

// ---- The mixer ----

TEST_F(SpeakerTest, VolumeIsSetToTheTopOfTheDacsRange) {
  const ChildResult child = Play({{2900, 10}}, ControlConfig({"DAC Playback Volume", -30, 205}));
  EXPECT_EQ(child.exit_code(), kVolumeSet) << child.Describe();
  EXPECT_EQ(LastVolumes(), "205 205");
}

TEST_F(SpeakerTest, VolumeIsTheShareOfTheRangeTruncated) {
  // min + ((max − min) × percent) / 100, toward zero.
  struct Case {
    long min;
    long max;
    int percent;
    const char* written;
  };
  const Case cases[] = {
      {0, 255, 33, "84 84"},     // 84.15
      {-7, 0, 50, "-4 -4"},      // -7 + 3.5
      {10, 20, 0, "10 10"},
      {0, 2000000000, 100, "2000000000 2000000000"},  // a wide range does not overflow
  };
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.written);
    std::filesystem::remove(mixer_record());
    const ChildResult child =
        Play({}, ControlConfig({"DAC Playback Volume", test_case.min, test_case.max}), test_case.percent);
    EXPECT_EQ(child.exit_code(), kVolumeSet) << child.Describe();
    EXPECT_EQ(LastVolumes(), test_case.written);
  }
}

TEST_F(SpeakerTest, MixerWithoutAUsableDacStillPlays) {
  const std::string cleared_frames = ExpectedFrames({{2900, 750}});
  const std::pair<const char*, std::string> cases[] = {
      {"no control device", ""},
      {"no DAC element", ControlConfig({"Master Playback Volume", 0, 255})},
      {"no volume on the DAC", ControlConfig({"DAC Playback Switch", 0, 1})},
      {"volume refused", ControlConfig({"DAC Playback Volume", 0, 255, true})},
  };
  for (const auto& [name, config] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::remove(played());
    const ChildResult child = Play({{2900, 750}}, config);
    EXPECT_EQ(child.exit_code(), kVolumeNotSet) << child.Describe();
    EXPECT_EQ(child.output, "");
    EXPECT_TRUE(PlayedBytes() == cleared_frames);
    EXPECT_FALSE(ReadFile(mixer_record()).has_value());
  }
}

}  // namespace
