// Feeding frames to an open ALSA playback stream, with the recovery from an
// underrun or a suspended device that a tone player needs.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

// Writes frame_count interleaved frames of 4 bytes from frames to pcm. A
// device that is not ready is waited for (never polled in a loop: the caller
// runs under SCHED_FIFO); after an underrun or a suspend the stream is made
// ready again and the frames of this call not yet written are dropped. Any
// other write error ends the process with status 1.
void WritePcmFrames(snd_pcm_t* pcm, const unsigned char* frames, int32_t frame_count);
