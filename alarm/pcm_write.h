// Feeding frames to an open ALSA playback stream, with the recovery from an
// underrun or a suspended device that a tone player needs.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

// Writes frame_count interleaved frames of 4 bytes from frames to pcm. A
// device that is not ready is waited for (never polled in a loop); after an
// underrun or a suspend the stream is made ready again and the frames of
// this call not yet written are dropped. Returns 0 then, or the negative
// error code of a write the stream refused, which the caller must not go on
// from: -EINTR when a signal (a stop, the only one the alarm child takes)
// cut the write or a wait for the device short.
int WritePcmFrames(snd_pcm_t* pcm, const unsigned char* frames, int32_t frame_count);
