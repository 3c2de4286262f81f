// The autopilot's status messages as they arrive on the CAN socket, and the
// standby command as it leaves it, byte for byte: the access layer is the
// real one, over the fake bus of fake_can.h.
#include "can/autopilot.h"

#include <linux/can/error.h>

#include <cerrno>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "can/can_hal.h"
#include "can/tests/fake_can.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

using Bytes = std::vector<uint8_t>;

constexpr canid_t kStatusFrom3 = 0x18FF1903;  // priority 6, PGN 65305, source 3
constexpr canid_t kStatusFrom7 = 0x18FF1907;
constexpr canid_t kStatusFrom35 = 0x18FF1923;
constexpr canid_t kStatusFrom254 = 0x18FF19FE;

const Bytes kStandby = {0x41, 0x9F, 0x00, 0x0A, 0x08, 0x00, 0x00, 0x00};
const Bytes kNotStandby = {0x41, 0x9F, 0x00, 0x0A, 0xF7, 0x00, 0x00, 0x00};
const Bytes kCommandSource = {0x41, 0x9F, 0x00, 0x0B, 0x08, 0x00, 0x00, 0x00};

class Autopilot : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakeCan();
    HalResetForTesting();
    ResetAutopilotMessages();
    ASSERT_EQ(HalInit(), kHalOk);
    ASSERT_EQ(HalOpen(0), kHalOk);
  }
  void TearDown() override { ResetFakeCan(); }

  // Puts the frames on the bus and lets the layer drain them all; what they
  // said of the autopilot goes into heard_.
  void Receive(const std::vector<std::pair<canid_t, Bytes>>& frames) {
    for (const auto& [id, bytes] : frames) {
      ASSERT_TRUE(PutBusFrame(hal_channels[0].fd, CAN_EFF_FLAG | id, bytes));
    }
    EXPECT_EQ(DrainCanInput(&heard_), kHalErrorNoFrame);
  }

  static std::vector<can_frame> Sent() { return TakeBusFrames(hal_channels[0].fd); }

  ApStatusReport heard_ = {};
};

TEST_F(Autopilot, StatusWithTheStandbyBitTeachesTheAddressAndStandby) {
  EXPECT_FALSE(heard_.standby);
  Receive({{kStatusFrom3, kStandby}});
  EXPECT_EQ(autopilot_address, 3);
  EXPECT_TRUE(heard_.standby);

  Receive({{kStatusFrom3, kNotStandby}});
  EXPECT_FALSE(heard_.standby);
  EXPECT_EQ(autopilot_address, 3);
}

// Silent once no status has come for 5 s, counted from the call that first
// noticed the latest; a command source's status does not count.
TEST_F(Autopilot, SilentFiveSecondsAfterTheLastStatusNoticed) {
  timespec heard;
  EXPECT_EQ(AutopilotPresence({100, 0}, &heard), ApNeverHeard);
  Receive({{kStatusFrom35, kCommandSource}});
  EXPECT_EQ(AutopilotPresence({101, 0}, &heard), ApNeverHeard);
  Receive({{kStatusFrom3, kNotStandby}});
  EXPECT_EQ(AutopilotPresence({102, 0}, &heard), ApHeard);
  EXPECT_EQ(AutopilotPresence({106, 999999999}, &heard), ApHeard);
  EXPECT_EQ(AutopilotPresence({107, 0}, &heard), ApSilent);
  EXPECT_EQ(heard.tv_sec, 102);
  Receive({{kStatusFrom3, kNotStandby}});
  EXPECT_EQ(AutopilotPresence({200, 0}, &heard), ApHeard);
  EXPECT_EQ(heard.tv_sec, 200);
}

TEST_F(Autopilot, PriorityAndReservedBitAreNotExamined) {
  Receive({{0x02FF1903 | 0x1C000000, {0x41, 0x9F, 0x00, 0x0A, 0x08}}});  // priority 7, reserved 1
  EXPECT_EQ(autopilot_address, 3);
  EXPECT_TRUE(heard_.standby);
}

TEST_F(Autopilot, LatestStatusDecidesWhenTwoAutopilotsSpeak) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom7, kNotStandby}});
  EXPECT_EQ(autopilot_address, 7);
  EXPECT_FALSE(heard_.standby);
}

TEST_F(Autopilot, OtherPagesMakersAndKindsAreIgnored) {
  Receive({{0x19FF1903, kStandby},  // data page 1
           {kStatusFrom3, {0x41, 0x9E, 0x00, 0x0A, 0x08}},
           {kStatusFrom3, {0x41, 0x9F, 0x00, 0x0C, 0x08}},
           {0x18FF1A03, kStandby},  // PGN 65306
           {0x18FE1903, kStandby}});
  EXPECT_EQ(autopilot_address, kAddressNotLearnt);
  EXPECT_EQ(command_source_address, kAddressNotLearnt);
  EXPECT_FALSE(heard_.standby);
  EXPECT_EQ(heard_.count, 0U) << "no autopilot status among them";
}

TEST_F(Autopilot, KindElevenTeachesOnlyTheCommandSource) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}});
  EXPECT_EQ(command_source_address, 35);
  EXPECT_EQ(autopilot_address, 3);
  EXPECT_TRUE(heard_.standby);
  EXPECT_EQ(heard_.count, 1U) << "the command source's status is not the autopilot's";
}

TEST_F(Autopilot, ShortStatusFramesAreNeverJudgedOnStaleBytes) {
  // A frame of another PGN leaves standby-looking bytes in the drain's
  // record; the short status frames after it must not be read through them.
  Receive({{0x18FF1A09, {0x41, 0x9F, 0x00, 0x0A, 0x08, 0x00, 0x00, 0x00}},
           {kStatusFrom7, {0x41, 0x9F, 0x00, 0x0A}},
           {kStatusFrom35, {0x41, 0x9F, 0x00}}});
  EXPECT_FALSE(heard_.standby);
  EXPECT_EQ(autopilot_address, kAddressNotLearnt);
  EXPECT_EQ(command_source_address, kAddressNotLearnt);

  // Just long enough.
  Receive({{kStatusFrom7, {0x41, 0x9F, 0x00, 0x0A, 0x08}},
           {kStatusFrom35, {0x41, 0x9F, 0x00, 0x0B}}});
  EXPECT_TRUE(heard_.standby);
  EXPECT_EQ(autopilot_address, 7);
  EXPECT_EQ(command_source_address, 35);
}

TEST_F(Autopilot, ShortFramesWithLeftoverBytesAreIgnoredWhenDecodedDirectly) {
  const CanFrame kind10 = {0x18FF1903, 4, {0x41, 0x9F, 0x00, 0x0A, 0x08, 0, 0, 0}};
  const CanFrame kind11 = {0x18FF1923, 3, {0x41, 0x9F, 0x00, 0x0B, 0, 0, 0, 0}};
  const CanFrame empty = {0x18FF1907, 0, {0x41, 0x9F, 0x00, 0x0A, 0x08, 0, 0, 0}};
  DecodeApStatus(&kind10, &heard_);
  DecodeApStatus(&kind11, &heard_);
  DecodeApStatus(&empty, &heard_);
  EXPECT_FALSE(heard_.standby);
  EXPECT_EQ(autopilot_address, kAddressNotLearnt);
  EXPECT_EQ(command_source_address, kAddressNotLearnt);
}

TEST_F(Autopilot, DrainReadsEveryWaitingFrameAndReportsWhatEndedIt) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom3, kNotStandby}, {kStatusFrom7, kStandby}});
  EXPECT_EQ(fake_can_sockets.reads, 1) << "three frames in one read, which did not fill its batch: no empty read";
  EXPECT_EQ(autopilot_address, 7);
  EXPECT_EQ(heard_.count, 3U);

  ASSERT_EQ(HalClose(0), kHalOk);
  EXPECT_EQ(DrainCanInput(&heard_), kHalErrorNoSocket);
}

// Whatever the kernel's filter lets through is exactly what the decoder
// learns from; error frames still tell the bus state.
TEST_F(Autopilot, StatusOnlyFilterPassesEveryStatusAndNothingElse) {
  ReceiveApStatusOnly();
  const Bytes status = {0x41, 0x9F, 0x00, 0x0A, 0x08};
  const struct {
    canid_t id;
    bool passes;
    bool passes_with_commands;  // ReceiveApStatusAndStandbyCommands
  } frames[] = {
      {CAN_EFF_FLAG | kStatusFrom3, true, true},
      {CAN_EFF_FLAG | kStatusFrom35, true, true},
      {CAN_EFF_FLAG | 0x02FF1903 | 0x1C000000, true, true},  // priority 7, reserved bit set
      {CAN_EFF_FLAG | 0x19FF1903, false, false},              // data page 1
      {CAN_EFF_FLAG | 0x18FF1A03, false, false},              // PGN 65306
      {CAN_EFF_FLAG | 0x18FE1903, false, false},              // PDU format 0xFE
      {CAN_EFF_FLAG | 0x09FF2223, false, true},               // the standby command
      {CAN_EFF_FLAG | 0x09FF22FE, false, true},               // the same from another source
      {CAN_EFF_FLAG | 0x0DFF2223, false, false},              // at another priority
      {CAN_EFF_FLAG | 0x09FF2323, false, false},              // PGN 130851
      {CAN_EFF_FLAG | CAN_RTR_FLAG | kStatusFrom3, false, false},
      {0x719, false, false},  // a standard frame
  };
  for (const auto& frame : frames) {
    SCOPED_TRACE(frame.id);
    autopilot_address = kAddressNotLearnt;
    ASSERT_TRUE(PutBusFrame(hal_channels[0].fd, frame.id, status));
    EXPECT_EQ(DrainCanInput(&heard_), kHalErrorNoFrame);
    EXPECT_EQ(autopilot_address != kAddressNotLearnt, frame.passes);
  }
  ReceiveApStatusAndStandbyCommands();
  for (const auto& frame : frames) {
    SCOPED_TRACE(frame.id);
    ASSERT_TRUE(PutBusFrame(hal_channels[0].fd, frame.id, status));
    HalReceived got[2];
    EXPECT_EQ(HalReceiveFrames(0, got, 2) == 1, frame.passes_with_commands);
  }
  ASSERT_TRUE(PutBusFrame(hal_channels[0].fd, CAN_ERR_FLAG | CAN_ERR_BUSOFF, {}));
  DrainCanInput(&heard_);
  EXPECT_EQ(hal_channels[0].bus_on, 0);
}

TEST_F(Autopilot, NothingIsSentUntilBothAddressesAreLearnt) {
  EXPECT_EQ(SendApStandby().outcome, ApCommandNoAutopilot);
  Receive({{kStatusFrom3, kStandby}});
  EXPECT_EQ(SendApStandby().outcome, ApCommandNoSource);
  EXPECT_THAT(Sent(), IsEmpty());

  Receive({{kStatusFrom35, kCommandSource}});
  EXPECT_EQ(SendApStandby().outcome, ApCommandSent);
  const std::vector<can_frame> sent = Sent();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(sent[0].data[0], 0x00) << "the first command sent has sequence 0";
  EXPECT_EQ(sent[1].data[0], 0x01);
}

TEST_F(Autopilot, StandbyCommandIsTwoFastPacketFrames) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}});
  SendApStandby();
  const std::vector<can_frame> sent = Sent();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(sent[0].can_id, CAN_EFF_FLAG | 0x09FF2223);
  EXPECT_EQ(sent[0].can_dlc, 8);
  EXPECT_THAT(sent[0].data, ElementsAre(0x00, 0x0C, 0x41, 0x9F, 0x03, 0xFF, 0xFF, 0x0A));
  EXPECT_EQ(sent[1].can_id, CAN_EFF_FLAG | 0x09FF2223);
  EXPECT_EQ(sent[1].can_dlc, 8);
  EXPECT_THAT(sent[1].data, ElementsAre(0x01, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF));
  // Own frames are not to come back as received frames.
  CanFrame echo = {};
  EXPECT_EQ(HalReceiveFrame(0, &echo), kHalErrorNoFrame) << std::hex << echo.id;
}

TEST_F(Autopilot, SequenceRunsZeroToSevenAndStartsAgainOnTheNinthCommand) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}});
  std::vector<int> first_bytes;
  for (int command = 0; command < 9; ++command) {
    SendApStandby();
    for (const can_frame& frame : Sent()) first_bytes.push_back(frame.data[0]);
  }
  EXPECT_THAT(first_bytes, ElementsAre(0x00, 0x01, 0x20, 0x21, 0x40, 0x41, 0x60, 0x61, 0x80, 0x81,
                                       0xA0, 0xA1, 0xC0, 0xC1, 0xE0, 0xE1, 0x00, 0x01));
}

TEST_F(Autopilot, RefusedFramesAreNotResentButTheSequenceMovesOn) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}});
  fake_can_sockets.write_results = {-ENOBUFS, -ENETDOWN};
  const ApCommandResult refused = SendApStandby();
  EXPECT_EQ(refused.outcome, ApCommandRefused);
  EXPECT_EQ(refused.hal_code, kHalErrorTransmitFull) << "the first refusal is the one told";
  EXPECT_EQ(refused.error, ENOBUFS);
  EXPECT_THAT(Sent(), IsEmpty());
  SendApStandby();
  const std::vector<can_frame> sent = Sent();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(sent[0].data[0], 0x20);
}

// Frame by frame, a frame refused by the full transmit queue goes again,
// and the bus still gets one whole command: frame 0, then frame 1, of one
// sequence number; the retries take no sequence number of their own. What
// reached the bus comes back as the guard's own.
TEST_F(Autopilot, FrameRefusedByAFullQueueGoesAgainAndTheBusGetsOneWholeCommand) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}});
  ReceiveApStatusAndStandbyCommands();
  ApStandbyCommand command = {};
  ASSERT_EQ(BeginApStandby(&command).outcome, ApCommandSent);
  for (const int refusals : {2, 1}) {
    fake_can_sockets.write_results.assign(static_cast<size_t>(refusals), -ENOBUFS);
    for (int i = 0; i < refusals; ++i) {
      const ApCommandResult refused = SendApStandbyFrame(&command);
      EXPECT_EQ(refused.outcome, ApCommandRefused);
      EXPECT_EQ(refused.hal_code, kHalErrorTransmitFull);
      EXPECT_EQ(refused.error, ENOBUFS);
    }
    EXPECT_EQ(SendApStandbyFrame(&command).outcome, ApCommandSent);
  }
  EXPECT_EQ(SendApStandbyFrame(&command).outcome, ApCommandSent);
  SendApStandby();
  HalReceived echoes[8];
  ASSERT_EQ(HalReceiveFrames(0, echoes, 8), 4);
  EXPECT_THAT(echoes[0].frame.data, ElementsAre(0x00, 0x0C, 0x41, 0x9F, 0x03, 0xFF, 0xFF, 0x0A));
  EXPECT_THAT(echoes[1].frame.data, ElementsAre(0x01, 0x06, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF));
  EXPECT_EQ(echoes[1].frame.id, echoes[0].frame.id);
  EXPECT_EQ(echoes[2].frame.data[0], 0x20) << "the next command, the next sequence number";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(echoes[i].flags, kHalFrameOwn) << i;
}

TEST_F(Autopilot, StatusFromTheNullAddressUnlearnsTheAutopilot) {
  Receive({{kStatusFrom3, kStandby}, {kStatusFrom35, kCommandSource}, {kStatusFrom254, kStandby}});
  EXPECT_EQ(autopilot_address, kAddressNotLearnt);
  SendApStandby();
  EXPECT_THAT(Sent(), IsEmpty());

  Receive({{kStatusFrom7, kStandby}});
  SendApStandby();
  const std::vector<can_frame> sent = Sent();
  ASSERT_EQ(sent.size(), 2U);
  EXPECT_EQ(sent[0].data[4], 7);
  EXPECT_EQ(sent[0].data[0], 0x00) << "nothing was sent while unlearnt";
}

}  // namespace
