#include "alarm/speaker_alarm.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alarm/alarm_child.h"
#include "alarm/pcm_write.h"
#include "alarm/tone.h"
#include "common/monotonic_time.h"

namespace {

constexpr const char kSpeakerDevice[] = "default";
constexpr const char kSpeakerMixer[] = "default";
constexpr const char kSpeakerElement[] = "DAC";
constexpr unsigned kSpeakerElementIndex = 0;

constexpr unsigned kSpeakerChannels = 2;
constexpr uint32_t kSpeakerRate = 44100;              // frames per second, taken only when granted exactly
constexpr double kSpeakerRateHz = 44100.0;
constexpr unsigned kSpeakerBufferMicroseconds = 500000;
constexpr unsigned kSpeakerPeriodMicroseconds = 50000;  // the tone is made and written one period at a time
constexpr auto kStepMillisecondsPerSecond = static_cast<uint32_t>(kMillisecondsPerSecond);

// Configures the stream and hands out the period the device granted; 0 on
// success.
int ConfigureHardware(snd_pcm_t* pcm, snd_pcm_uframes_t* period_size) {
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  if (snd_pcm_hw_params_any(pcm, params) < 0) return -1;
  if (snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) return -1;
  if (snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE) < 0) return -1;
  if (snd_pcm_hw_params_set_channels(pcm, params, kSpeakerChannels) < 0) return -1;

  // The tone's frame counts and phase steps are worked out for 44100 Hz: at
  // another rate it would play at the wrong pitch and length.
  unsigned rate = kSpeakerRate;
  if (snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr) < 0) return -1;
  if (rate != kSpeakerRate) return -1;

  int direction = 0;
  unsigned buffer_time = kSpeakerBufferMicroseconds;
  if (snd_pcm_hw_params_set_buffer_time_near(pcm, params, &buffer_time, &direction) < 0) return -1;
  // As specified, read back though never used: a device that cannot tell it is refused like any other.
  snd_pcm_uframes_t buffer_size = 0;
  if (snd_pcm_hw_params_get_buffer_size(params, &buffer_size) < 0) return -1;

  unsigned period_time = kSpeakerPeriodMicroseconds;
  const int error = snd_pcm_hw_params_set_period_time_near(pcm, params, &period_time, &direction);
  if (error < 0) {
    // As specified, on standard output unlike the alarm's other lines: kept where integrators find it.
    std::printf("Unable to set period time %i for playback: %s\n", static_cast<int>(period_time),
                snd_strerror(error));
    return -1;
  }
  if (snd_pcm_hw_params_get_period_size(params, period_size, &direction) < 0) return -1;
  return snd_pcm_hw_params(pcm, params) < 0 ? -1 : 0;
}

// The stream starts once a whole period is queued and wakes a writer for each
// period that frees up.
int ConfigureSoftware(snd_pcm_t* pcm, snd_pcm_uframes_t period_size) {
  snd_pcm_sw_params_t* params;
  snd_pcm_sw_params_alloca(&params);
  if (snd_pcm_sw_params_current(pcm, params) < 0) return -1;
  snd_pcm_sw_params_set_start_threshold(pcm, params, period_size);
  snd_pcm_sw_params_set_avail_min(pcm, params, period_size);
  return snd_pcm_sw_params(pcm, params) < 0 ? -1 : 0;
}

// Frames of a step, as unsigned 32-bit arithmetic gives them: 250 ms is
// 11025 frames, 750 ms 33075.
uint32_t StepFrames(const AlarmStep& step) {
  return (kSpeakerRate * step.duration_ms) / kStepMillisecondsPerSecond;
}

double PhaseIncrement(const AlarmStep& step) {
  const double increment = (static_cast<double>(step.frequency_hz) * kToneTwoPi) / kSpeakerRateHz;
  // From 44100 Hz up a frame would move the phase by a whole turn or more,
  // which the tone's single wrap per frame cannot undo: the phase would run
  // off and the sample overflow its integer. Whole turns change no sample.
  return increment >= kToneTwoPi ? std::fmod(increment, kToneTwoPi) : increment;
}

// 0 once every step and the padding are written; the negative error that
// ended the stream early, -EINTR for a stop.
int PlaySteps(snd_pcm_t* pcm, unsigned char* buffer, int32_t period, const AlarmStep* pattern,
              int32_t step_count) {
  double phase = 0.0;  // carried across chunks and steps, so a step never starts with a click
  int64_t total = 0;
  for (int32_t i = 0; i < step_count; ++i) {
    uint32_t remaining = StepFrames(pattern[i]);
    total += remaining;
    const double increment = PhaseIncrement(pattern[i]);
    // Every step starts a chunk of its own: a step's last chunk may be short.
    while (remaining > 0) {
      // A chunk is a period at most, so a stop is heard within about one.
      if (AlarmStopRequested()) return -EINTR;
      const int32_t chunk = remaining < static_cast<uint32_t>(period) ? static_cast<int32_t>(remaining) : period;
      phase = SynthesizeTone(buffer, chunk, phase, increment);
      const int result = WritePcmFrames(pcm, buffer, chunk);
      if (result != 0) return result;
      remaining -= static_cast<uint32_t>(chunk);
    }
  }

  // The stream runs in whole periods: pad the last one with silence so that
  // the drain does not wait on a period that never fills.
  const auto partial = static_cast<int32_t>(total % period);
  if (partial == 0) return 0;
  const int32_t fill = period - partial;
  std::memset(buffer, 0, static_cast<size_t>(fill) * kToneFrameBytes);
  return WritePcmFrames(pcm, buffer, fill);
}

// The player reports its own failures in one line each; ALSA's own messages
// would add several more for the same fault. Variadic as ALSA's handler type
// requires.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}


// Opens the default mixer into *mixer (null when it cannot be opened, else
// the caller's to close) and finds the volume element in *element.
SpeakerVolumeFinding OpenSpeakerVolume(snd_mixer_t** mixer, snd_mixer_elem_t** element) {
  *mixer = nullptr;
  *element = nullptr;
  if (snd_mixer_open(mixer, 0) < 0) {
    *mixer = nullptr;
    return SpeakerMixerMissing;
  }
  if (snd_mixer_attach(*mixer, kSpeakerMixer) < 0 || snd_mixer_selem_register(*mixer, nullptr, nullptr) < 0 ||
      snd_mixer_load(*mixer) < 0) {
    return SpeakerMixerMissing;
  }

  snd_mixer_selem_id_t* id;
  snd_mixer_selem_id_alloca(&id);
  snd_mixer_selem_id_set_name(id, kSpeakerElement);
  snd_mixer_selem_id_set_index(id, kSpeakerElementIndex);
  *element = snd_mixer_find_selem(*mixer, id);
  if (*element == nullptr || snd_mixer_selem_has_playback_volume(*element) == 0) {
    return SpeakerVolumeMissing;
  }
  return SpeakerVolumeReady;
}

}  // namespace

SpeakerVolumeFinding FindSpeakerVolume() {
  snd_lib_error_set_handler(IgnoreAlsaMessage);
  snd_mixer_t* mixer = nullptr;
  snd_mixer_elem_t* element = nullptr;
  const SpeakerVolumeFinding finding = OpenSpeakerVolume(&mixer, &element);
  if (mixer != nullptr) snd_mixer_close(mixer);
  return finding;
}

int SetSpeakerVolume(int percent) {
  snd_mixer_t* mixer = nullptr;
  snd_mixer_elem_t* element = nullptr;
  if (OpenSpeakerVolume(&mixer, &element) != SpeakerVolumeReady) {
    if (mixer != nullptr) snd_mixer_close(mixer);
    return 1;
  }

  long min = 0;
  long max = 0;
  snd_mixer_selem_get_playback_volume_range(element, &min, &max);
  // 64-bit, so that a wide raw range times the percentage cannot overflow;
  // the division truncates toward zero as before.
  const int64_t volume = static_cast<int64_t>(min) + (static_cast<int64_t>(max - min) * percent) / 100;
  const int result = snd_mixer_selem_set_playback_volume_all(element, static_cast<long>(volume));
  snd_mixer_close(mixer);
  return result < 0 ? 1 : 0;
}

void PlayTonePattern(const AlarmStep* pattern, int32_t step_count) {
  snd_lib_error_set_handler(IgnoreAlsaMessage);
  snd_pcm_t* pcm = nullptr;
  const int opened = snd_pcm_open(&pcm, kSpeakerDevice, SND_PCM_STREAM_PLAYBACK, 0);
  if (opened < 0) {
    std::fprintf(stderr, "Unable to open sound device %s: %s\n", kSpeakerDevice, snd_strerror(opened));
    return;
  }

  snd_pcm_uframes_t period_size = 0;
  // A period of no frames would never finish a chunk.
  if (ConfigureHardware(pcm, &period_size) != 0 || period_size == 0 ||
      period_size > static_cast<snd_pcm_uframes_t>(INT32_MAX / kToneFrameBytes) ||
      ConfigureSoftware(pcm, period_size) != 0) {
    snd_pcm_close(pcm);
    return;
  }

  const auto period = static_cast<int32_t>(period_size);
  auto* buffer = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(period) * kToneFrameBytes));
  if (buffer == nullptr) {
    snd_pcm_close(pcm);
    return;
  }

  const int played = PlaySteps(pcm, buffer, period, pattern, step_count);
  if (played != 0 && played != -EINTR) {
    std::fprintf(stderr, "Unable to play on sound device %s: %s\n", kSpeakerDevice, snd_strerror(played));
  }
  if (played == 0) snd_pcm_drain(pcm);
  // A stop, even one that cut the drain short, ends the tone at once: what
  // is queued is dropped.
  if (played != 0 || AlarmStopRequested()) snd_pcm_drop(pcm);
  std::free(buffer);
  snd_pcm_close(pcm);
}
