// Reading the key device against real pipes, where records go in at the
// platform's own input_event size. What the detector makes of the events,
// to the nanosecond of the one-second hold, is the explorer's to check.
#include "guard/decision/short_press.h"
#include "guard/keypad/key_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include "common/monotonic_time.h"
#include "guard/tests/test_io.h"

namespace {

// What the guard makes of one read: the device gone, or what the detector
// makes of the record read (0 for anything but a short press).
constexpr int kGone = -1;

class KeyDevice : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(fds_), 0); }
  void TearDown() override {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }

  void Write(uint16_t type, uint16_t code, int32_t value) {
    ASSERT_TRUE(WriteInputEvent(fds_[1], type, code, value));
  }

  // Reads one record from fd and judges it, as the guard does, at the
  // moment it was read.
  int ReadKey(int fd) {
    input_event event;
    const KeyRead read = ReadKeyEvent(fd, &event);
    if (read == KeyReadGone) return kGone;
    return read == KeyReadEvent ? DetectShortPress(&detector_, event, MonotonicNow(), false) : 0;
  }

  // Writes one key event and returns what the guard makes of it.
  int Key(uint16_t code, int32_t value) {
    Write(EV_KEY, code, value);
    return ReadKey(fds_[0]);
  }

  int fds_[2] = {-1, -1};
  ShortPressDetector detector_ = {};
};

TEST_F(KeyDevice, ShortPressIsReportedAtTheKeyUp) {
  EXPECT_EQ(Key(KEY_A, 1), 0);
  EXPECT_EQ(Key(KEY_A, 0), 1);
}

TEST_F(KeyDevice, EachCallReadsExactlyOneRecord) {
  Write(EV_KEY, KEY_A, 1);
  Write(EV_SYN, SYN_REPORT, 0);
  Write(EV_KEY, KEY_A, 0);
  Write(EV_SYN, SYN_REPORT, 0);
  EXPECT_EQ(ReadKey(fds_[0]), 0);
  EXPECT_EQ(ReadKey(fds_[0]), 0);
  EXPECT_EQ(ReadKey(fds_[0]), 1);
  EXPECT_EQ(ReadKey(fds_[0]), 0);
  ASSERT_EQ(fcntl(fds_[0], F_SETFL, O_NONBLOCK), 0);
  char left;
  EXPECT_EQ(read(fds_[0], &left, 1), -1) << "a record was read in part or not at all";
}

TEST_F(KeyDevice, PartialRecordIsNoEvent) {
  input_event event = {};
  event.type = EV_KEY;
  event.code = KEY_A;
  event.value = 1;
  ASSERT_EQ(write(fds_[1], &event, sizeof event / 2), static_cast<ssize_t>(sizeof event / 2));
  EXPECT_EQ(ReadKey(fds_[0]), 0);
  // Had the half record been taken as a key-down, this would be short.
  EXPECT_EQ(Key(KEY_A, 0), 0);
}

TEST_F(KeyDevice, EmptyNonBlockingDeviceIsNoEvent) {
  ASSERT_EQ(fcntl(fds_[0], F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(ReadKey(fds_[0]), 0);
}

TEST_F(KeyDevice, EndOfFileMeansTheDeviceIsGone) {
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(ReadKey(fds_[0]), kGone);
}

TEST_F(KeyDevice, ReadErrorMeansTheDeviceIsGone) {
  // The write end cannot be read: the same lasting failure as an unplugged
  // device's ENODEV.
  EXPECT_EQ(ReadKey(fds_[1]), kGone);
}

TEST(TimespecDiff, BorrowsASecondForNegativeNanoseconds) {
  const timespec diff = TimespecDiff({5, 900000000}, {6, 100000000});
  EXPECT_EQ(diff.tv_sec, 0);
  EXPECT_EQ(diff.tv_nsec, 200000000);
}

TEST(TimespecDiff, EqualTimesGiveZero) {
  const timespec diff = TimespecDiff({5, 0}, {5, 0});
  EXPECT_EQ(diff.tv_sec, 0);
  EXPECT_EQ(diff.tv_nsec, 0);
}

TEST(TimespecDiff, JustUnderASecondHasNoWholeSecond) {
  const timespec diff = TimespecDiff({7, 1}, {8, 0});
  EXPECT_EQ(diff.tv_sec, 0);
  EXPECT_EQ(diff.tv_nsec, 999999999);
}

TEST(TimespecDiff, WholeSecondsWithoutBorrow) {
  const timespec diff = TimespecDiff({7, 250}, {9, 500});
  EXPECT_EQ(diff.tv_sec, 2);
  EXPECT_EQ(diff.tv_nsec, 250);
}

}  // namespace
