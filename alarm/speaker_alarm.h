// The speaker output: a tone on the default ALSA playback device, at full
// mixer volume.
#pragma once

#include <cstdint>

#include "alarm/alarm.h"

// Sets the "DAC" element of the default mixer to percent of its playback
// range on every channel. 0 on success, non-zero when the mixer, the element
// or its volume control is missing or the setting is refused.
int SetSpeakerVolume(int percent);

enum SpeakerVolumeFinding : int32_t {
  SpeakerVolumeReady = 0,    // the "DAC" element has a playback volume
  SpeakerMixerMissing = 1,   // the default mixer cannot be opened: no sound device
  SpeakerVolumeMissing = 2,  // the mixer lacks the element or its volume: the
                             // tone plays at whatever volume the device has
};

// What SetSpeakerVolume would find, asked without changing anything and
// without ALSA's own messages.
SpeakerVolumeFinding FindSpeakerVolume();

// Plays the steps as a tone (44100 Hz, 16-bit stereo), a silence for a step of
// frequency 0, and returns once the device has played the last frame. Returns
// early, without sound, when the device cannot be set up, after a line on
// standard error when it cannot be opened. A stop (alarm_child.h) or a write
// the device refuses (with a line on standard error) ends the tone within
// about a period: the stream is stopped and what is queued dropped.
void PlayTonePattern(const AlarmStep* pattern, int32_t step_count);
