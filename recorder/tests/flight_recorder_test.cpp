// The flight recorder on a memory file system and a clock the test sets:
// frames stamped on the wall clock, events and windows on the monotonic
// one, the wall clock kWallSeconds ahead of it.
#include "recorder/flight_recorder.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "guard/tests/test_io.h"

namespace {

using testing::EndsWith;
using testing::HasSubstr;

constexpr long long kWallSeconds = 1765144000;
constexpr uint32_t kStatusId = 0x18FF1900;

class FlightRecorder : public testing::Test {
 protected:
  void SetUp() override {
    base_ = MakeMemoryFolder("flight");
    ASSERT_NE(base_, "");
    folder_ = base_ + "/control" + kFlightFolderSuffix;
    SetFlightWallOffsetForTesting(kWallSeconds * 1000000000);
    const FlightStart started = StartFlightRecorder(folder_.c_str(), 16);
    ASSERT_TRUE(started == FlightStarted || started == FlightNotLocked) << started;
  }
  void TearDown() override {
    StopFlightRecorder();
    SetFlightWallOffsetForTesting(0);
    std::filesystem::remove_all(base_);
  }

  // A status frame received at monotonic second t, its identifier naming t.
  static void Frame(uint32_t t) {
    HalReceived received = {};
    received.frame = {kStatusId + t, 8, {0x41, 0x9F, 0, 0x0A, 0, 0, 0, 0}};
    received.stamp = {static_cast<time_t>(kWallSeconds + t), 250000000};
    RecordFrames(&received, 1);
  }

  // Writes the pending flight three lines a call until it is done.
  FlightWrite WriteAll(time_t now) {
    FlightWrite written = {};
    for (calls_ = 1; (written = WriteFlightPiece({now, 0}, 3)).state == FlightWriting && calls_ < 100; ++calls_) {
    }
    return written;
  }

  std::string Read(uint32_t number, const char* suffix) const {
    char name[16];
    std::snprintf(name, sizeof name, "/%06" PRIu32 "%s", number, suffix);
    return ReadFile(folder_ + name);
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // The seconds the log's frames were received at, read back from their
  // stamps, which must match their identifiers.
  std::vector<uint32_t> LoggedSeconds(uint32_t number) const {
    std::istringstream log(Read(number, ".log"));
    std::vector<uint32_t> seconds;
    for (std::string line; std::getline(log, line);) {
      unsigned long long stamp = 0;
      unsigned int id = 0;
      // NOLINTNEXTLINE(cert-err34-c): a line that does not scan whole fails the count
      EXPECT_EQ(std::sscanf(line.c_str(), "(%llu.250000) can0 %8X#419F000A00000000", &stamp, &id), 2) << line;
      EXPECT_EQ(id - kStatusId, stamp - kWallSeconds) << line;
      seconds.push_back(id - kStatusId);
    }
    return seconds;
  }

  std::string base_;
  std::string folder_;
  int calls_ = 0;
};

// The ring has wrapped; what is left of it still holds the whole window, and the log holds exactly the window's frames, in order.
TEST_F(FlightRecorder, WindowKeptThroughTheRingsWrapIsWrittenWholeAndInOrder) {
  for (uint32_t t = 100; t < 125; ++t) Frame(t);
  BeginFlightWindow({125, 0});  // from second 115
  RecordEvent(FlightKeyDown, 30, 0, {125, 0});
  Frame(126);
  EndFlightWindow({127, 0});  // to second 137
  for (uint32_t t = 128; t < 131; ++t) Frame(t);
  timespec due = {};
  ASSERT_TRUE(FlightPieceDue(&due));
  EXPECT_EQ(WriteFlightPiece({due.tv_sec - 1, 0}, 3).state, FlightWaiting);

  const FlightWrite written = WriteAll(due.tv_sec);
  EXPECT_EQ(written.state, FlightWritten);
  EXPECT_TRUE(written.complete);
  EXPECT_GT(calls_, 1) << "written in pieces";
  EXPECT_EQ(LoggedSeconds(written.number),
            (std::vector<uint32_t>{115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 126, 128, 129, 130}));
  EXPECT_THAT(Read(written.number, ".events"), EndsWith("; complete\n"));
}

// Entries of the window lost to the ring, before writing began or while it
// went on, make the flight incomplete, and its record says so.
TEST_F(FlightRecorder, WindowOverwrittenBeforeOrWhileWrittenIsFlaggedIncomplete) {
  BeginFlightWindow({110, 0});  // from second 100
  for (uint32_t t = 100; t < 130; ++t) Frame(t);
  EndFlightWindow({119, 0});
  FlightWrite written = WriteAll(130);
  EXPECT_EQ(written.state, FlightWritten);
  EXPECT_FALSE(written.complete);
  EXPECT_THAT(Read(written.number, ".events"), HasSubstr("INCOMPLETE: the ring overflowed"));

  // Whole when writing began, then overtaken by the bus between pieces.
  BeginFlightWindow({150, 0});  // from second 140
  for (uint32_t t = 140; t < 150; ++t) Frame(t);
  EndFlightWindow({150, 0});
  ASSERT_EQ(WriteFlightPiece({160, 0}, 3).state, FlightWriting);
  for (uint32_t t = 161; t < 177; ++t) Frame(t);
  written = WriteAll(177);
  EXPECT_EQ(written.state, FlightWritten);
  EXPECT_FALSE(written.complete);
  EXPECT_EQ(LoggedSeconds(written.number), (std::vector<uint32_t>{140, 141, 142}));
}

// The log as can-utils reads it: log2asc takes every line for the frame it
// was.
TEST_F(FlightRecorder, CanUtilsReadEveryFrameOfTheLog) {
  BeginFlightWindow({100, 0});
  const HalReceived frames[] = {
      {{0x09FF2223, 2, {0x00, 0x0C}}, kHalFrameOwn, {kWallSeconds + 100, 1000}},
      {{0x40, 8, {}}, kHalFrameError | kHalFrameBusOff, {kWallSeconds + 100, 2000}},
      {{0x123, 0, {}}, kHalFrameStandard, {kWallSeconds + 100, 3000}}};
  RecordFrames(frames, 3);
  EndFlightWindow({100, 0});
  ASSERT_EQ(WriteAll(110).state, FlightWritten);
  const std::string asc = base_ + "/flight.asc";
  if (fork() == 0) {
    execlp("log2asc", "log2asc", "-I", (folder_ + "/000001.log").c_str(), "-O", asc.c_str(), "can0", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_GT(wait(&status), 0);
  if (status == 127 << 8) GTEST_SKIP() << "can-utils' log2asc is not installed";
  EXPECT_THAT(ReadFile(asc), testing::ContainsRegex("0.000000 1  9FF2223x +Rx +d 2 00 0C\n"
                                                     " +0.000001 1  ErrorFrame\n"
                                                     " +0.000002 1  123 +Rx +d 0\n$"));
}

}  // namespace
