// The CAN access layer over the fake libsocketcan and fake raw sockets of
// fake_can.h: what it asks of the interface, in what order, and what it
// makes of the socket's answers.
#include "can/can_hal.h"

#include <fcntl.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "can/tests/fake_can.h"

namespace {

using Calls = std::vector<std::string>;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;

constexpr uint32_t k24MHz = 24000000;
constexpr uint32_t k30MHz = 30000000;

Calls Configure(const char* tq) {
  return {"can_get_clock can0",
          "can_get_bittiming_const can0",
          "can_do_stop can0",
          "can_set_restart_ms can0 100",
          std::string("can_set_bittiming can0 tq=") + tq +
              " prop_seg=6 phase_seg1=7 phase_seg2=2 sjw=1 bitrate=0 sample_point=0 brp=0",
          "can_set_ctrlmode can0 mask=0x1f flags=0x10",
          "can_do_start can0"};
}

const Calls kSocketSetUp = {"socket",
                            "ioctl SIOCGIFINDEX can0",
                            "setsockopt CAN_RAW_LOOPBACK 1",
                            "setsockopt CAN_RAW_ERR_FILTER 0x165",
                            "setsockopt CAN_RAW_RECV_OWN_MSGS 1",
                            "setsockopt SO_TIMESTAMPNS 1",
                            "fcntl F_GETFL",
                            "fcntl F_SETFL O_NONBLOCK",
                            "bind 5"};

// The number the next socket will get.
int LowestFreeDescriptor() {
  const int fd = dup(0);
  close(fd);
  // cppcheck-suppress deallocret ; the number, free again, is what is asked for
  return fd;
}

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Process-wide records start each test as at process start.
class CanLayer : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakeCan();
    HalResetForTesting();
  }
  void TearDown() override { ResetFakeCan(); }

  static HalChannel& channel() { return hal_channels[0]; }

  // HalInit and HalOpen on a healthy unit, with the log emptied afterwards.
  static void Open() {
    ASSERT_EQ(HalInit(), kHalOk);
    ASSERT_EQ(HalOpen(0), kHalOk);
    fake_can_calls.clear();
  }

  // The layer's socket fd is closed, and the channel no longer holds its
  // number, which the next open anywhere will be given.
  static void ExpectNumberForgotten(int fd) {
    EXPECT_EQ(channel().fd, -1);
    EXPECT_EQ(FakeCanBusEnd(fd), -1) << "socket left open";
  }
};

TEST_F(CanLayer, ThirtyMegahertzClockGetsFifteenQuantaOf267Nanoseconds) {
  fake_socketcan.clock.freq = k30MHz;
  EXPECT_EQ(HalInit(), kHalOk);
  EXPECT_STREQ(channel().ifname, "can0");
  EXPECT_EQ(channel().open, 0);
  EXPECT_EQ(channel().fd, -1);
  EXPECT_EQ(channel().bus_on, 0);
  EXPECT_EQ(channel().bitrate, 250000U);
  EXPECT_EQ(channel().tq_ns, 267U);
  EXPECT_EQ(channel().prop_seg, 5);
  EXPECT_EQ(channel().phase_seg1, 7);
  EXPECT_EQ(channel().phase_seg2, 2);
  EXPECT_EQ(channel().sjw, 1);
  EXPECT_THAT(fake_can_calls, ElementsAre("can_get_clock can0"));
  EXPECT_NE(HalOpen(0), kHalErrorNotInitialised);
}

TEST_F(CanLayer, OtherOrUnreadableClocksGetSixteenQuantaOf250Nanoseconds) {
  fake_socketcan.clock.freq = k24MHz;
  EXPECT_EQ(HalInit(), kHalOk);
  EXPECT_EQ(channel().tq_ns, 250U);
  EXPECT_EQ(channel().prop_seg, 6);

  fake_socketcan.clock.freq = k30MHz;
  fake_socketcan.results["can_get_clock"] = {-1};
  EXPECT_EQ(HalInit(), kHalErrorInterface);
  EXPECT_EQ(channel().tq_ns, 250U);
  EXPECT_EQ(channel().prop_seg, 6);
  EXPECT_NE(HalOpen(0), kHalErrorNotInitialised) << "an unreadable clock still initialises";
}

TEST_F(CanLayer, MetRateIsConfiguredStopToStart) {
  fake_socketcan.clock.freq = k24MHz;
  fake_socketcan.limits.brp_min = 6;  // 250 ns at 24 MHz is prescaler 6
  fake_socketcan.limits.brp_max = 6;
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_calls.clear();

  EXPECT_EQ(HalSetBitTiming(0, 250000, 6, 7, 2, 1), kHalOk);
  EXPECT_EQ(fake_can_calls, Configure("250"));
  EXPECT_EQ(channel().bitrate, 250000U);
  EXPECT_EQ(channel().tq_ns, 250U);
  EXPECT_EQ(channel().fd, -1) << "no socket before, none after";
}

TEST_F(CanLayer, UnmetRateIsRefusedWithTheInterfaceUntouched) {
  fake_socketcan.clock.freq = k30MHz;
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_calls.clear();

  // 15 quanta of 533 ns at 30 MHz: prescaler 15, 133333 bit/s.
  EXPECT_EQ(HalSetBitTiming(0, 125000, 5, 7, 2, 1), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, ElementsAre("can_get_clock can0", "can_get_bittiming_const can0"));
  EXPECT_EQ(channel().bitrate, 250000U);
  EXPECT_EQ(channel().tq_ns, 267U);
}

TEST_F(CanLayer, RatesThatWouldDivideByZeroAreRefused) {
  ASSERT_EQ(HalInit(), kHalOk);
  // 0 bit/s; 2^31 bit/s, whose 16 quanta wrap to 0 in 32 bits.
  EXPECT_EQ(HalSetBusSpeed(0, 0), kHalErrorInterface);
  EXPECT_EQ(channel().bitrate, 0U);
  EXPECT_EQ(HalSetBusSpeed(0, 0x80000000U), kHalErrorInterface);
  // A 1 MHz clock is too slow for a 250 ns quantum: prescaler 0.
  fake_socketcan.clock.freq = 1000000;
  EXPECT_EQ(HalSetBusSpeed(0, 250000), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, Not(Contains("can_do_stop can0")));
}

TEST_F(CanLayer, PrescalerArithmeticIsThirtyTwoBit) {
  fake_socketcan.clock.freq = k24MHz;
  fake_socketcan.limits.brp_max = 1024;
  ASSERT_EQ(HalInit(), kHalOk);
  // 10 kbit/s: tq 6250 × 2400000 wraps, so the prescaler misses 150.
  EXPECT_EQ(HalSetBusSpeed(0, 10000), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, Not(Contains("can_do_stop can0")));
}

TEST_F(CanLayer, FailedClockOrLimitsQueryRefusesTheRate) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_socketcan.results["can_get_clock"] = {-1};
  EXPECT_EQ(HalSetBusSpeed(0, 250000), kHalErrorInterface);
  fake_socketcan.results["can_get_bittiming_const"] = {-1};
  EXPECT_EQ(HalSetBusSpeed(0, 250000), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, Not(Contains("can_do_stop can0")));
}

TEST_F(CanLayer, RefusedRateIsKeptForTheNextOpen) {
  fake_socketcan.clock.freq = k30MHz;
  ASSERT_EQ(HalInit(), kHalOk);
  EXPECT_EQ(HalSetBusSpeed(0, 125000), kHalErrorInterface);
  EXPECT_EQ(channel().bitrate, 125000U);
  EXPECT_EQ(HalOpen(0), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, Not(Contains("socket")));
}

TEST_F(CanLayer, NewRateRecreatesTheOpenSocket) {
  fake_socketcan.clock.freq = k24MHz;
  Open();
  fake_socketcan.limits.brp_min = 12;  // 500 ns at 24 MHz is prescaler 12
  fake_socketcan.limits.brp_max = 12;
  const int before = channel().fd;

  EXPECT_EQ(HalSetBusSpeed(0, 125000), kHalOk);
  Calls expected = Configure("500");
  expected.insert(expected.begin() + 2, "close");
  EXPECT_EQ(fake_can_calls, Join({expected, kSocketSetUp}));
  EXPECT_EQ(channel().bitrate, 125000U);
  EXPECT_EQ(channel().tq_ns, 500U);
  EXPECT_EQ(channel().fd, before) << "the lowest free number comes back";
  EXPECT_EQ(channel().open, 1);
}

// Each of the controller's limits, met at its edge and missed by one, for
// 250 kbit/s at 24 MHz: tseg1 13, tseg2 2, sjw 1, prescaler 6.
struct LimitCase {
  const char* name;
  void (*set)(can_bittiming_const*);
  int expected;
};

void PrintTo(const LimitCase& tested, std::ostream* out) { *out << tested.name; }

class Limit : public CanLayer, public testing::WithParamInterface<LimitCase> {};

TEST_P(Limit, IsTestedBeforeTheInterfaceIsTouched) {
  fake_socketcan.clock.freq = k24MHz;
  GetParam().set(&fake_socketcan.limits);
  ASSERT_EQ(HalInit(), kHalOk);
  EXPECT_EQ(HalSetBusSpeed(0, 250000), GetParam().expected);
  const bool touched = testing::Matches(Contains("can_do_stop can0"))(fake_can_calls);
  EXPECT_EQ(touched, GetParam().expected == kHalOk);
}

INSTANTIATE_TEST_SUITE_P(
    CanLayer, Limit,
    testing::Values(
        LimitCase{"tseg1_min_met", [](can_bittiming_const* l) { l->tseg1_min = 13; }, 0},
        LimitCase{"tseg1_min_missed", [](can_bittiming_const* l) { l->tseg1_min = 14; }, -1},
        LimitCase{"tseg1_max_met", [](can_bittiming_const* l) { l->tseg1_max = 13; }, 0},
        LimitCase{"tseg1_max_missed", [](can_bittiming_const* l) { l->tseg1_max = 12; }, -1},
        LimitCase{"tseg2_min_met", [](can_bittiming_const* l) { l->tseg2_min = 2; }, 0},
        LimitCase{"tseg2_min_missed", [](can_bittiming_const* l) { l->tseg2_min = 3; }, -1},
        LimitCase{"tseg2_max_met", [](can_bittiming_const* l) { l->tseg2_max = 2; }, 0},
        LimitCase{"tseg2_max_missed", [](can_bittiming_const* l) { l->tseg2_max = 1; }, -1},
        LimitCase{"sjw_max_met", [](can_bittiming_const* l) { l->sjw_max = 1; }, 0},
        LimitCase{"sjw_max_missed", [](can_bittiming_const* l) { l->sjw_max = 0; }, -1},
        LimitCase{"brp_min_met", [](can_bittiming_const* l) { l->brp_min = 6; }, 0},
        LimitCase{"brp_min_missed", [](can_bittiming_const* l) { l->brp_min = 7; }, -1},
        LimitCase{"brp_max_met", [](can_bittiming_const* l) { l->brp_max = 6; }, 0},
        LimitCase{"brp_max_missed", [](can_bittiming_const* l) { l->brp_max = 5; }, -1},
        LimitCase{"brp_step_met",
                  [](can_bittiming_const* l) {
                    l->brp_min = 2;
                    l->brp_inc = 4;
                  },
                  0},
        LimitCase{"brp_step_missed", [](can_bittiming_const* l) { l->brp_inc = 2; }, -1},
        LimitCase{"brp_step_zero", [](can_bittiming_const* l) { l->brp_inc = 0; }, -1}),
    [](const testing::TestParamInfo<LimitCase>& tested) { return std::string(tested.param.name); });

TEST_F(CanLayer, OpenIsRefusedBeforeInitOnOtherChannelsAndWhenOpen) {
  EXPECT_EQ(HalOpen(0), kHalErrorNotInitialised);
  ASSERT_EQ(HalInit(), kHalOk);
  EXPECT_EQ(HalOpen(1), kHalErrorChannel);
  EXPECT_THAT(fake_can_calls, ElementsAre("can_get_clock can0"));
  ASSERT_EQ(HalOpen(0), kHalOk);
  fake_can_calls.clear();
  EXPECT_EQ(HalOpen(0), kHalErrorAlreadyOpen);
  EXPECT_THAT(fake_can_calls, IsEmpty());
}

TEST_F(CanLayer, OpenConfiguresThenMakesABoundNonBlockingSocket) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_calls.clear();
  EXPECT_EQ(HalOpen(0), kHalOk);
  // No receive filter: every frame on the bus comes in.
  EXPECT_EQ(fake_can_calls, Join({Configure("250"), kSocketSetUp}));
  EXPECT_EQ(channel().open, 1);
  EXPECT_EQ(channel().bus_on, 1);
  ASSERT_GE(channel().fd, 0);
  EXPECT_EQ(FakeCanBoundIndex(channel().fd), 5);
  EXPECT_NE(fcntl(channel().fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(CanLayer, RefusedConfigurationOrSocketLeavesTheChannelClosed) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_socketcan.results["can_do_stop"] = {-1};
  EXPECT_EQ(HalOpen(0), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls, Not(Contains("socket")));

  fake_can_sockets.socket_errno = EMFILE;
  EXPECT_EQ(HalOpen(0), kHalErrorNoSocket);
  EXPECT_EQ(channel().open, 0);
  EXPECT_EQ(channel().fd, -1);
}

// A socket set-up that fails after the socket exists closes it and forgets
// its number: the next descriptor opened anywhere gets that number.
struct SetUpFailure {
  const char* name;
  int ifindex_errno;
  int failing_option;
};

void PrintTo(const SetUpFailure& tested, std::ostream* out) { *out << tested.name; }

class FailedSetUp : public CanLayer, public testing::WithParamInterface<SetUpFailure> {};

TEST_P(FailedSetUp, ClosesTheSocketAndForgetsItsNumber) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_sockets.ifindex_errno = GetParam().ifindex_errno;
  fake_can_sockets.failing_option = GetParam().failing_option;
  const int socket_number = LowestFreeDescriptor();
  EXPECT_EQ(HalOpen(0), kHalErrorNoSocket);
  EXPECT_EQ(fake_can_calls.back(), "close");
  EXPECT_EQ(channel().open, 0);
  ExpectNumberForgotten(socket_number);
  const CanFrame frame = {};
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorNoSocket);
}

INSTANTIATE_TEST_SUITE_P(CanLayer, FailedSetUp,
                         testing::Values(SetUpFailure{"no_interface", ENODEV, 0},
                                         SetUpFailure{"loopback", 0, CAN_RAW_LOOPBACK},
                                         SetUpFailure{"error_filter", 0, CAN_RAW_ERR_FILTER}),
                         [](const testing::TestParamInfo<SetUpFailure>& tested) {
                           return std::string(tested.param.name);
                         });

TEST_F(CanLayer, FailedBindKeepsTheSocketOpen) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_sockets.bind_errno = EADDRNOTAVAIL;
  EXPECT_EQ(HalOpen(0), kHalErrorNoSocket);
  ASSERT_GE(channel().fd, 0);
  EXPECT_GE(FakeCanBusEnd(channel().fd), 0);
}

// The interface failing to stop or start after the socket was closed for the
// new timing: the record has the timing, the channel no socket.
class ReconfigurationFailure : public CanLayer, public testing::WithParamInterface<const char*> {};

TEST_P(ReconfigurationFailure, LeavesNoSocketAndNoStaleCanFd) {
  Open();
  const int before = channel().fd;
  fake_socketcan.results[GetParam()] = {-1};
  EXPECT_EQ(HalSetBusSpeed(0, 125000), kHalErrorInterface);
  EXPECT_EQ(channel().bitrate, 125000U);
  EXPECT_EQ(channel().tq_ns, 500U);
  EXPECT_EQ(channel().open, 1);
  EXPECT_THAT(fake_can_calls, Not(Contains("socket")));
  ExpectNumberForgotten(before);
  EXPECT_EQ(HalIsOpen(0), kHalErrorNoSocket);
}

INSTANTIATE_TEST_SUITE_P(CanLayer, ReconfigurationFailure,
                         testing::Values("can_do_stop", "can_do_start"),
                         [](const testing::TestParamInfo<const char*>& tested) {
                           return std::string(tested.param);
                         });

TEST_F(CanLayer, StartOnAHealthyUnitConfiguresTwiceAndRecreatesTheSocket) {
  testing::internal::CaptureStderr();
  int receive_fd = -1;
  EXPECT_EQ(StartCanBus(&receive_fd), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  Calls reconfigure = Configure("250");
  reconfigure.insert(reconfigure.begin() + 2, "close");
  EXPECT_EQ(fake_can_calls,
            Join({{"can_get_clock can0"}, Configure("250"), kSocketSetUp, reconfigure, kSocketSetUp,
                  {"can_do_start can0"}}));
  EXPECT_EQ(channel().open, 1);
  EXPECT_EQ(receive_fd, channel().fd);
  EXPECT_GE(FakeCanBusEnd(receive_fd), 0);
}

TEST_F(CanLayer, StartWithoutCan0ReportsBothStepsAndFails) {
  fake_socketcan.default_result = -1;
  fake_can_sockets.can0_missing = 1;
  testing::internal::CaptureStderr();
  int receive_fd = 0;
  EXPECT_EQ(StartCanBus(&receive_fd), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "HalSetBusSpeed(0,250000) returned error -1\n"
            "HalSetBusState(0,1) returned error -9\n");
  EXPECT_EQ(receive_fd, -1);
  // Not even libsocketcan is asked: it would print lines of its own.
  EXPECT_THAT(fake_can_calls, IsEmpty());
}

TEST_F(CanLayer, StartWithoutPrivilegeToConfigureReportsBothStepsAndFails) {
  fake_socketcan.results["can_do_stop"] = {-1, -1};
  testing::internal::CaptureStderr();
  int receive_fd = 0;
  EXPECT_EQ(StartCanBus(&receive_fd), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "HalSetBusSpeed(0,250000) returned error -1\n"
            "HalSetBusState(0,1) returned error -9\n");
  EXPECT_EQ(receive_fd, -1);
}

TEST_F(CanLayer, StartWithAFailingSpeedStepButAWorkingStateStepSucceeds) {
  // The clock reads for HalInit and HalOpen, not for HalSetBusSpeed.
  fake_socketcan.results["can_get_clock"] = {0, 0, -1};
  testing::internal::CaptureStderr();
  int receive_fd = -1;
  EXPECT_EQ(StartCanBus(&receive_fd), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "HalSetBusSpeed(0,250000) returned error -1\n");
  EXPECT_EQ(fake_can_calls.back(), "can_do_start can0");
  EXPECT_EQ(receive_fd, channel().fd);
  EXPECT_GE(FakeCanBusEnd(receive_fd), 0);
}

TEST_F(CanLayer, WithoutASocketEveryFrameAndStateOperationGivesMinus9) {
  ASSERT_EQ(HalInit(), kHalOk);
  fake_can_calls.clear();
  CanFrame frame = {};
  HalBusStatus status = {};
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorNoSocket);
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoSocket);
  EXPECT_EQ(HalSetBusState(0, 1), kHalErrorNoSocket);
  EXPECT_EQ(HalSetBusState(0, 0), kHalErrorNoSocket);
  EXPECT_EQ(HalGetBusStatus(0, &status), kHalErrorNoSocket);
  EXPECT_EQ(HalIsOpen(0), kHalErrorNoSocket);
  EXPECT_THAT(fake_can_calls, IsEmpty());
}

TEST_F(CanLayer, SentFrameIsExtendedWithItsLengthAndAllEightBytes) {
  Open();
  const CanFrame frame = {0x09FF2223, 3, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalOk);
  const std::vector<can_frame> sent = TakeBusFrames(channel().fd);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(sent[0].can_id, 0x89FF2223U);
  EXPECT_EQ(sent[0].can_dlc, 3);
  EXPECT_THAT(sent[0].data, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8));
}

// Own frames reach single reads, which cannot tell them from the bus's,
// only when the send asked for exactly that.
TEST_F(CanLayer, OwnFramesComeBackToSingleReadsOnlyWhenAsked) {
  Open();
  const CanFrame frame = {0x09FF2223, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
  CanFrame single = {};
  for (const int receive_own : {0, 2, 1}) {
    ASSERT_EQ(HalSendFrame(0, &frame, receive_own), kHalOk);
    EXPECT_EQ(HalReceiveFrame(0, &single), receive_own == 1 ? kHalOk : kHalErrorNoFrame) << receive_own;
  }
}

// Each frame with its own stamp and none of the remote frames, many to a
// system call.
TEST_F(CanLayer, WaitingFramesAreReadInBatchesEachWithItsStamp) {
  Open();
  std::vector<uint32_t> sent;
  for (uint32_t i = 0; i < 37; ++i) {
    fake_can_sockets.stamp = {1765144409, static_cast<long>(i)};
    const bool remote = i % 10 == 5;
    ASSERT_TRUE(PutBusFrame(channel().fd, (remote ? CAN_RTR_FLAG : 0U) | CAN_EFF_FLAG | (0x18FF1900U + i), {}));
    if (!remote) sent.push_back(i);
  }
  std::vector<uint32_t> received;
  HalReceived got[kHalMostFramesPerRead + 8];
  for (int count; (count = HalReceiveFrames(0, got, kHalMostFramesPerRead + 8)) >= 0;) {
    for (int i = 0; i < count; ++i) {
      received.push_back(got[i].frame.id - 0x18FF1900U);
      EXPECT_EQ(got[i].stamp.tv_nsec, static_cast<long>(received.back()));
    }
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(fake_can_sockets.reads, 3) << "37 frames: a full batch, the rest, the empty queue";
}

TEST_F(CanLayer, FailedWritesAreSortedWithoutRetry) {
  Open();
  fake_can_sockets.write_results = {-ENOBUFS, 8, -EIO, -ENETDOWN};
  const CanFrame frame = {0x123, 8, {}};
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorTransmitFull);
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorWrite) << "written in part";
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorWrite);
  EXPECT_EQ(HalSendFrame(0, &frame, 0), kHalErrorWrite);
  EXPECT_EQ(std::count(fake_can_calls.begin(), fake_can_calls.end(), "write"), 4);
}

TEST_F(CanLayer, EmptyQueueGivesMinus2AfterOneRead) {
  Open();
  CanFrame frame = {};
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);
  EXPECT_EQ(fake_can_sockets.reads, 1);
}

// A frame that comes after the bus-off's error frame was received after it:
// the controller is back, though the restart's frame be lost.
TEST_F(CanLayer, ErrorFramesSetTheBusStateOnTheWayToTheNextDataFrame) {
  Open();
  const int fd = channel().fd;
  ASSERT_TRUE(PutBusFrame(fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(PutBusFrame(fd, CAN_EFF_FLAG | 0x18FF1903, {0x41, 0x9F, 0, 0x0A, 8, 0, 0, 0}));
  CanFrame frame = {};
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalOk);
  EXPECT_EQ(channel().bus_on, 1);
  EXPECT_EQ(frame.id, 0x18FF1903U);
  EXPECT_EQ(frame.length, 8);
  EXPECT_THAT(frame.data, ElementsAre(0x41, 0x9F, 0, 0x0A, 8, 0, 0, 0));
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);

  ASSERT_TRUE(PutBusFrame(fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(PutBusFrame(fd, CAN_ERR_FLAG | CAN_ERR_RESTARTED, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);
  EXPECT_EQ(channel().bus_on, 1);
}

TEST_F(CanLayer, LinkStateFollowsTheErrorFramesWithoutAskingTheInterface) {
  EXPECT_EQ(HalGetLinkState(0), HalLinkNoSocket);
  Open();
  EXPECT_EQ(HalGetLinkState(0), HalLinkUp);
  CanFrame frame = {};
  ASSERT_TRUE(PutBusFrame(channel().fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);
  EXPECT_EQ(HalGetLinkState(0), HalLinkBusOff);
  ASSERT_TRUE(PutBusFrame(channel().fd, CAN_ERR_FLAG | CAN_ERR_RESTARTED, {0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);
  EXPECT_EQ(HalGetLinkState(0), HalLinkUp);

  // The driver's restart after a bus-off, read in batches: the guard may
  // command again once the controller is back, on the socket it has.
  for (const canid_t error : {CAN_ERR_BUSOFF, CAN_ERR_RESTARTED}) {
    HalReceived got[4];
    ASSERT_TRUE(PutBusFrame(channel().fd, CAN_ERR_FLAG | error, {0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(HalReceiveFrames(0, got, 4), 1);
    EXPECT_EQ(got[0].flags, kHalFrameError | (error == CAN_ERR_BUSOFF ? kHalFrameBusOff : kHalFrameRestarted));
    EXPECT_EQ(HalGetLinkState(0), error == CAN_ERR_BUSOFF ? HalLinkBusOff : HalLinkUp);
  }
  EXPECT_THAT(fake_can_calls, IsEmpty()) << "no query of the interface while it is up";
}

TEST_F(CanLayer, RemoteFramesAreNeverDelivered) {
  Open();
  const int fd = channel().fd;
  ASSERT_TRUE(PutBusFrame(fd, CAN_RTR_FLAG | CAN_EFF_FLAG | 0x18FF1903, {}));
  ASSERT_TRUE(PutBusFrame(fd, CAN_RTR_FLAG | 0x123, {}));
  CanFrame frame = {};
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalErrorNoFrame);
  EXPECT_EQ(fake_can_sockets.reads, 3);
}

TEST_F(CanLayer, StandardFrameArrivesUnmarkedWithOnlyItsBytesCopied) {
  Open();
  ASSERT_TRUE(PutBusFrame(channel().fd, 0x123, {0xA1, 0xA2}));
  CanFrame frame = {0, 0, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};
  EXPECT_EQ(HalReceiveFrame(0, &frame), kHalOk);
  EXPECT_EQ(frame.id, 0x123U);
  EXPECT_EQ(frame.length, 2);
  EXPECT_THAT(frame.data, ElementsAre(0xA1, 0xA2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE));
}

TEST_F(CanLayer, BusStateOnStartsAndOffStopsBehindAFreshBoundSocket) {
  Open();
  EXPECT_EQ(HalSetBusState(0, 0), kHalOk);
  EXPECT_EQ(fake_can_calls, Join({{"close", "can_do_stop can0"}, kSocketSetUp}));
  EXPECT_EQ(FakeCanBoundIndex(channel().fd), 5);

  fake_can_calls.clear();
  EXPECT_EQ(HalSetBusState(0, 1), kHalOk);
  EXPECT_THAT(fake_can_calls, ElementsAre("can_do_start can0"));

  fake_socketcan.results["can_do_start"] = {-1};
  EXPECT_EQ(HalSetBusState(0, 1), kHalErrorInterface);
  fake_socketcan.results["can_do_stop"] = {-1};
  EXPECT_EQ(HalSetBusState(0, 0), kHalErrorInterface);
  EXPECT_GE(FakeCanBusEnd(channel().fd), 0) << "a socket all the same";
}

TEST_F(CanLayer, ReceiveFilterGoesOnEverySocketAndMayFailWithoutHarm) {
  Open();
  EXPECT_EQ(HalSetReceiveFilter(0, 0x00FF1900, 0x01FFFF00), kHalOk);
  EXPECT_THAT(fake_can_calls, ElementsAre("setsockopt CAN_RAW_FILTER 0x80ff1900/0xc1ffff00"));
  fake_can_calls.clear();
  // A filter the kernel refuses leaves a socket that takes every frame.
  fake_can_sockets.failing_option = CAN_RAW_FILTER;
  EXPECT_EQ(HalSetBusState(0, 0), kHalOk);
  Calls filtered = kSocketSetUp;
  filtered.insert(filtered.begin() + 6, "setsockopt CAN_RAW_FILTER 0x80ff1900/0xc1ffff00");
  EXPECT_EQ(fake_can_calls, Join({{"close", "can_do_stop can0"}, filtered}));
  EXPECT_EQ(FakeCanBoundIndex(channel().fd), 5);
}

TEST_F(CanLayer, CloseDropsTheSocketAndAllowsANewOpen) {
  Open();
  EXPECT_EQ(HalIsOpen(0), kHalOk);
  const int before = channel().fd;
  EXPECT_EQ(HalClose(0), kHalOk);
  EXPECT_EQ(channel().open, 0);
  ExpectNumberForgotten(before);
  EXPECT_EQ(HalClose(0), kHalOk);
  EXPECT_EQ(HalOpen(0), kHalOk);
}

TEST_F(CanLayer, BusStatusCarriesLowBitsOfTheCountersAndTheBusState) {
  Open();
  fake_socketcan.berr_counter = {17, 9};
  fake_socketcan.link_stats.rx_dropped = 0x12345;
  fake_socketcan.link_stats.rx_packets = 0x100000007;
  fake_socketcan.link_stats.tx_packets = 0x200000003;
  fake_socketcan.state = CAN_STATE_ERROR_PASSIVE;
  HalBusStatus status;
  std::memset(&status, 0xA5, sizeof status);
  EXPECT_EQ(HalGetBusStatus(0, &status), kHalOk);
  EXPECT_EQ(status.bus_off, 0U);
  EXPECT_EQ(status.reserved1, 0U);
  EXPECT_EQ(status.rx_dropped, 0x2345);
  EXPECT_EQ(status.reserved2, 0);
  EXPECT_EQ(status.reserved3, 0U);
  EXPECT_EQ(status.rx_frames, 7U);
  EXPECT_EQ(status.tx_frames, 3U);
  EXPECT_EQ(status.tx_errors, 17U);
  EXPECT_EQ(status.rx_errors, 9U);
  EXPECT_EQ(channel().bus_on, 1);

  for (const int state : {CAN_STATE_BUS_OFF, CAN_STATE_STOPPED}) {
    fake_socketcan.state = state;
    EXPECT_EQ(HalGetBusStatus(0, &status), kHalOk);
    EXPECT_EQ(status.bus_off, 1U);
    EXPECT_EQ(status.tx_errors, 255U);
    EXPECT_EQ(channel().bus_on, 0);
  }
}

TEST_F(CanLayer, BusStatusStopsAtTheFirstFailedQuery) {
  Open();
  HalBusStatus status = {};
  fake_socketcan.results["can_get_device_stats"] = {-1};
  EXPECT_EQ(HalGetBusStatus(0, &status), kHalErrorInterface);
  EXPECT_THAT(fake_can_calls,
              ElementsAre("can_get_berr_counter can0", "can_get_device_stats can0"));
  fake_socketcan.results["can_get_state"] = {-1};
  EXPECT_EQ(HalGetBusStatus(0, &status), kHalErrorInterface);
}

}  // namespace
