// The configuration a guard publishes comes back as it was given, whatever
// its paths hold, and readable by anyone.
#include "guard/startup/published_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

TEST(PublishedConfig, ReadsBackWhatWasPublished) {
  char folder[] = "/tmp/helmwatch-config.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string socket = std::string(folder) + "/control";
  const mode_t mask = umask(0177);  // the service's is 0117
  // A line break and backslashes in a value, and a blank at its end.
  const char odd_key[] = "/dev/input/by-id/key\\pad\nnext\\n ";
  const int published = PublishConfig(socket.c_str(), odd_key, AlarmDualBuzzer, "/sys/buzzer \\");
  umask(mask);
  ASSERT_EQ(published, 0);
  struct stat file;
  ASSERT_EQ(stat((socket + ".config").c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0644u);
  PublishedConfig config;
  ASSERT_TRUE(ReadPublishedConfig(socket.c_str(), &config));
  EXPECT_STREQ(config.key_device, odd_key);
  EXPECT_STREQ(config.key_device_resolved, "") << "no such file to resolve";
  EXPECT_EQ(config.alarm_type, AlarmDualBuzzer);
  EXPECT_TRUE(config.has_alarm_options);
  EXPECT_STREQ(config.alarm_options, "/sys/buzzer \\");

  // Published again, without -o and without an alarm, over the first.
  ASSERT_EQ(PublishConfig(socket.c_str(), folder, AlarmNone, nullptr), 0);
  ASSERT_TRUE(ReadPublishedConfig(socket.c_str(), &config));
  EXPECT_STREQ(config.key_device_resolved, folder);
  EXPECT_EQ(config.alarm_type, AlarmNone);
  EXPECT_FALSE(config.has_alarm_options);
  std::filesystem::remove_all(folder);
}

}  // namespace
