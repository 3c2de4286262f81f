// The command line through the option parser: the input split into argument
// words at NUL bytes, after argv[0] "helmwatch". Each command line is parsed
// twice into a fresh configuration, which must give the same answer: the
// parser restarts getopt itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "guard/startup/command_line.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// The parser's own lines and getopt's go here; libFuzzer and the sanitizers
// keep the real standard error (the sanitizers write to descriptor 2).
FILE* quiet = nullptr;

constexpr size_t kMaxWords = 64;

struct Parsed {
  CommandLineResult result;
  GuardConfig config;
  const char* device_path;
};

Parsed Parse(std::vector<char*>& argv) {
  Parsed parsed = {CommandLineUsage, {0, kDefaultSocketName, AlarmNone, nullptr}, nullptr};
  FILE* const saved = stderr;
  stderr = quiet;
  parsed.result = ParseOptions(static_cast<int>(argv.size() - 1), argv.data(), &parsed.config,
                               &parsed.device_path);
  stderr = saved;
  return parsed;
}

// Whether text points into one of the words (an option's argument may start
// within its word: "-ofoo", "--unix=x").
bool InWords(const char* text, const std::vector<char*>& argv) {
  for (size_t i = 1; i + 1 < argv.size(); ++i) {
    const char* word = argv[i];
    if (text >= word && text <= word + std::strlen(word)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  quiet = std::fopen("/dev/null", "w");
  return quiet != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.push_back('\0');
  char program[] = "helmwatch";
  std::vector<char*> argv = {program};
  for (size_t at = 0; at < size && argv.size() <= kMaxWords;) {
    argv.push_back(&text[at]);
    at += std::strlen(&text[at]) + 1;
  }
  argv.push_back(nullptr);

  const Parsed first = Parse(argv);
  FUZZ_CHECK(first.result == CommandLineRun || first.result == CommandLineUsage ||
                 first.result == CommandLineVersion,
             "one of the three answers");
  const AlarmType type = first.config.alarm_type;
  FUZZ_CHECK(type == AlarmNone || type == AlarmBuzzer || type == AlarmDualBuzzer ||
                 type == AlarmGpio || type == AlarmSpeaker,
             "the alarm type is one of the five");
  FUZZ_CHECK(first.config.daemonize == 0 || first.config.daemonize == 1, "-d only switches on");
  FUZZ_CHECK(first.config.socket_name == kDefaultSocketName ||
                 InWords(first.config.socket_name, argv),
             "the socket path is the default or comes from the command line");
  FUZZ_CHECK(first.config.alarm_options == nullptr || InWords(first.config.alarm_options, argv),
             "the alarm options come from the command line");
  if (first.result == CommandLineRun) {
    bool is_word = false;
    for (size_t i = 1; i + 1 < argv.size(); ++i) is_word = is_word || first.device_path == argv[i];
    FUZZ_CHECK(is_word, "the device path is one of the words");
    FUZZ_CHECK(type != AlarmGpio || first.config.alarm_options != nullptr,
               "a GPIO alarm comes with its number");
  }

  const Parsed again = Parse(argv);
  FUZZ_CHECK(again.result == first.result && again.device_path == first.device_path &&
                 again.config.daemonize == first.config.daemonize &&
                 again.config.socket_name == first.config.socket_name &&
                 again.config.alarm_type == first.config.alarm_type &&
                 again.config.alarm_options == first.config.alarm_options,
             "a second parse of the same line gives the same answer");
  return 0;
}
