// The -t names and the two beep patterns the guard plays.
#include <gtest/gtest.h>

#include "alarm/alarm.h"

namespace {

TEST(ParseAlarmType, NamesEachOutputExactly) {
  EXPECT_EQ(ParseAlarmType("buzzer"), AlarmBuzzer);
  EXPECT_EQ(ParseAlarmType("dualbuzzer"), AlarmDualBuzzer);
  EXPECT_EQ(ParseAlarmType("gpio"), AlarmGpio);
  EXPECT_EQ(ParseAlarmType("speaker"), AlarmSpeaker);
}

TEST(ParseAlarmType, AnythingElseIsNone) {
  for (const char* name : {"", "Buzzer", "BUZZER", "buzzer ", " buzzer", "buzz", "buzzer2", "dual", "gpio0",
                           "speakers", "none", "dualbuzzerx"}) {
    EXPECT_EQ(ParseAlarmType(name), AlarmNone) << '"' << name << '"';
  }
}

TEST(AlarmPatterns, WarningIsSixShortBeepsThenALongOne) {
  uint32_t total_ms = 0;
  for (int i = 0; i < kWarningPatternSteps; ++i) {
    SCOPED_TRACE(i + 1);
    const bool sounds = i % 2 == 0;
    EXPECT_EQ(kWarningPattern[i].frequency_hz, sounds ? 2900U : 0U);
    EXPECT_EQ(kWarningPattern[i].duration_ms, i == kWarningPatternSteps - 1 ? 750U : 250U);
    total_ms += kWarningPattern[i].duration_ms;
  }
  // cppcheck-suppress knownConditionTrueFalse ; the test pins the constant itself
  EXPECT_EQ(kWarningPatternSteps, 13);
  EXPECT_EQ(total_ms, 3750U);
}

TEST(AlarmPatterns, ClearedIsOneLongBeep) {
  // cppcheck-suppress knownConditionTrueFalse ; the test pins the constant itself
  ASSERT_EQ(kClearedPatternSteps, 1);
  EXPECT_EQ(kClearedPattern[0].frequency_hz, 2900U);
  EXPECT_EQ(kClearedPattern[0].duration_ms, 750U);
}

}  // namespace
