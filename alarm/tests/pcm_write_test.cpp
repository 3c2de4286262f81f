// WritePcmFrames' recovery rules against stand-ins for the ALSA calls it
// makes: this program is linked without ALSA, so the writes answer whatever
// each test scripts, one answer per call. The pause between tries to resume
// is recorded, not slept.
#include "alarm/pcm_write.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace {

// Script and record of the stand-ins.
std::deque<snd_pcm_sframes_t> write_answers;  // when empty, a write takes every frame
std::deque<int> wait_answers;                 // when empty, the device is ready (1)
std::deque<int> resume_answers;               // when empty, resuming succeeds (0)
std::vector<std::string> calls;
const unsigned char* chunk_start = nullptr;

int device_object;
snd_pcm_t* const kPcm = reinterpret_cast<snd_pcm_t*>(&device_object);

template <typename T>
T Next(std::deque<T>* answers, T otherwise) {
  if (answers->empty()) return otherwise;
  const T answer = answers->front();
  answers->pop_front();
  return answer;
}

std::string Where(const snd_pcm_t* pcm) { return pcm == kPcm ? "" : " on another device"; }

void Record(const std::string& call) { calls.push_back(call); }

}  // namespace

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
  const long frame = (static_cast<const unsigned char*>(buffer) - chunk_start) / 4;
  Record("write " + std::to_string(frame) + "+" + std::to_string(size) + Where(pcm));
  return Next(&write_answers, static_cast<snd_pcm_sframes_t>(size));
}

int snd_pcm_wait(snd_pcm_t* pcm, int timeout) {
  Record("wait " + std::to_string(timeout) + Where(pcm));
  return Next(&wait_answers, 1);
}

int snd_pcm_prepare(snd_pcm_t* pcm) {
  Record("prepare" + Where(pcm));
  return 0;
}

int snd_pcm_resume(snd_pcm_t* pcm) {
  Record("resume" + Where(pcm));
  return Next(&resume_answers, 0);
}

unsigned sleep(unsigned seconds) {
  Record("sleep " + std::to_string(seconds));
  return 0;
}

namespace {

using Calls = std::vector<std::string>;

class WritePcmFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_answers.clear();
    wait_answers.clear();
    resume_answers.clear();
    calls.clear();
    chunk_start = chunk_.data();
  }

  int Write(int32_t frame_count) { return WritePcmFrames(kPcm, chunk_.data(), frame_count); }

  std::vector<unsigned char> chunk_ = std::vector<unsigned char>(size_t{2205} * 4);
};

TEST_F(WritePcmFramesTest, ChunkTakenWholeIsOneWrite) {
  Write(2205);
  EXPECT_EQ(calls, (Calls{"write 0+2205"}));
}

TEST_F(WritePcmFramesTest, NothingToWriteCallsNothing) {
  Write(0);
  Write(-1);
  EXPECT_EQ(calls, Calls{});
}

TEST_F(WritePcmFramesTest, PartialWritesGoOnFromWhereTheDeviceStopped) {
  write_answers = {100, 141};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "write 100+341", "write 241+200"}));
}

TEST_F(WritePcmFramesTest, WriteThatTakesNothingIsWaitedForLikeADeviceNotReady) {
  // Repeated at once, it would spin the real-time alarm child.
  write_answers = {100, 0, 0};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "write 100+341", "wait 1000", "write 100+341", "wait 1000",
                          "write 100+341"}));
}

TEST_F(WritePcmFramesTest, DeviceNotReadyIsWaitedForBeforeTheSameWrite) {
  write_answers = {-EAGAIN, -EAGAIN};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "wait 1000", "write 0+441", "wait 1000", "write 0+441"}));

  calls.clear();
  write_answers = {200, -EAGAIN};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "write 200+241", "wait 1000", "write 200+241"}));
}

TEST_F(WritePcmFramesTest, FailedWaitStillLeadsToTheSameWrite) {
  // The wait may fail or time out; the write decides what happens next.
  write_answers = {-EAGAIN, -EAGAIN};
  wait_answers = {-EIO, 0};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "wait 1000", "write 0+441", "wait 1000", "write 0+441"}));
}

TEST_F(WritePcmFramesTest, UnderrunPreparesAgainAndDropsTheRestOfTheChunk) {
  write_answers = {200, -EPIPE};
  EXPECT_EQ(Write(441), 0);
  EXPECT_EQ(calls, (Calls{"write 0+441", "write 200+241", "prepare"}));
}

TEST_F(WritePcmFramesTest, SuspendIsResumedOnceTheDeviceCanBe) {
  write_answers = {-ESTRPIPE};
  resume_answers = {-EAGAIN, 0};
  EXPECT_EQ(Write(441), 0);
  // A second between tries, not a loop.
  EXPECT_EQ(calls, (Calls{"write 0+441", "resume", "sleep 1", "resume"}));
}

TEST_F(WritePcmFramesTest, SuspendThatCannotBeResumedPreparesAgain) {
  write_answers = {-ESTRPIPE};
  resume_answers = {-EAGAIN, -ENOSYS};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "resume", "sleep 1", "resume", "prepare"}));

  calls.clear();
  write_answers = {300, -ESTRPIPE};
  resume_answers = {-EIO};
  Write(441);
  EXPECT_EQ(calls, (Calls{"write 0+441", "write 300+141", "resume", "prepare"}));
}

TEST_F(WritePcmFramesTest, AnyOtherErrorIsHandedBackWithoutRecovery) {
  // A signal cutting the write short (-EINTR) is the alarm child's stop.
  for (const snd_pcm_sframes_t error : {-EIO, -EBADFD, -ENODEV, -EINVAL, -EINTR}) {
    SCOPED_TRACE(error);
    calls.clear();
    write_answers = {100, error};
    EXPECT_EQ(Write(441), error);
    EXPECT_EQ(calls, (Calls{"write 0+441", "write 100+341"}));
  }
}

TEST_F(WritePcmFramesTest, WaitCutShortBySignalIsHandedBack) {
  write_answers = {-EAGAIN};
  wait_answers = {-EINTR};
  EXPECT_EQ(Write(441), -EINTR);
  EXPECT_EQ(calls, (Calls{"write 0+441", "wait 1000"}));
}

}  // namespace
