#include "alarm/pcm_write.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "alarm/tone.h"

namespace {

// Bounds one wait for a device that answered -EAGAIN; a device that stays
// unready is asked again after each wait.
constexpr int kDeviceWaitMilliseconds = 1000;

// When the wait itself fails, a pause of a fifth of a 50 ms period stands in
// for it, so that the retries cannot turn into a busy loop.
constexpr timespec kWaitFailedPause = {0, 10000000};

constexpr unsigned kResumeRetrySeconds = 1;

// A suspended device cannot take frames until resumed; while the driver is
// not ready to resume, try again once a second. A sleep cut short is a stop.
int RecoverFromSuspend(snd_pcm_t* pcm) {
  int result;
  while ((result = snd_pcm_resume(pcm)) == -EAGAIN) {
    if (sleep(kResumeRetrySeconds) != 0) return -EINTR;
  }
  if (result < 0) snd_pcm_prepare(pcm);
  return 0;
}

}  // namespace

int WritePcmFrames(snd_pcm_t* pcm, const unsigned char* frames, int32_t frame_count) {
  const unsigned char* position = frames;
  int32_t remaining = frame_count;
  while (remaining > 0) {
    const snd_pcm_sframes_t result = snd_pcm_writei(pcm, position, static_cast<snd_pcm_uframes_t>(remaining));
    if (result == -EAGAIN || result == 0) {
      // Repeating the write at once would keep the processor from everything
      // else. A write that took nothing is a device that was not ready either.
      const int waited = snd_pcm_wait(pcm, kDeviceWaitMilliseconds);
      if (waited == -EINTR) return -EINTR;
      if (waited < 0) nanosleep(&kWaitFailedPause, nullptr);
    } else if (result > 0) {
      position += static_cast<ptrdiff_t>(result) * kToneFrameBytes;
      remaining -= static_cast<int32_t>(result);
    } else if (result == -EPIPE) {
      // Underrun: the rest of this chunk is dropped rather than played late.
      snd_pcm_prepare(pcm);
      return 0;
    } else if (result == -ESTRPIPE) {
      return RecoverFromSuspend(pcm);
    } else {
      return static_cast<int>(result);
    }
  }
  return 0;
}
