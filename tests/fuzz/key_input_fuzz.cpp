// The short-press detector over an arbitrary stream of event records, each
// seen at a monotonic time that moves on (by up to 3 s, or by a whole second
// give or take a few nanoseconds) or jumps to any time the clock can give (0
// to 2^40 s), against a model of its rule:
// the key-up of code 30 or 38 is a short press when the shared key-down time
// is less than one whole second before it (or after it); before any key-down
// that time is 0. Each event also carries a time stamp of its own, which
// the detector takes as the moment the key went down only when told that
// the device stamps on the monotonic clock, and only when it is earlier than
// the moment the event was read.
#include <linux/input.h>

#include <cstddef>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#include "common/monotonic_time.h"
#include "guard/key_input.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using Nanoseconds = __int128;
constexpr Nanoseconds kSecond = kNanosecondsPerSecond;

Nanoseconds ToNanoseconds(const timespec& t) {
  return static_cast<Nanoseconds>(t.tv_sec) * kSecond + t.tv_nsec;
}

bool IsGuarded(const input_event& event) {
  return event.type == 1 && (event.code == 30 || event.code == 38);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  ShortPressDetector detector = {{0, 0}, {0, 0}, input.ConsumeBool()};
  Nanoseconds model_down = 0;
  Nanoseconds model_went_down = 0;
  timespec now = {0, 0};

  while (input.remaining_bytes() > 0) {
    input_event event = {};
    event.type = input.ConsumeIntegral<uint16_t>();
    event.code = input.ConsumeIntegral<uint16_t>();
    event.value = input.ConsumeIntegral<int32_t>();
    Nanoseconds later = ToNanoseconds(now);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:  // anywhere
        later = ToNanoseconds({input.ConsumeIntegralInRange<time_t>(0, time_t{1} << 40),
                               input.ConsumeIntegralInRange<long>(0, kSecond - 1)});
        break;
      case 1:
        later += input.ConsumeIntegralInRange<int64_t>(0, 3 * kSecond);
        break;
      default:  // within a few nanoseconds of a whole second
        later += kSecond + input.ConsumeIntegralInRange<int64_t>(-2, 2);
        break;
    }
    now = {static_cast<time_t>(later / kSecond), static_cast<long>(later % kSecond)};
    // The stamp: anywhere, or a little before or after the reading.
    Nanoseconds stamp = later + input.ConsumeIntegralInRange<int64_t>(-2000000000, 100000000);
    if (input.ConsumeBool() || stamp < 0) {
      stamp = input.ConsumeIntegralInRange<int64_t>(0, INT32_MAX) * kSecond;
    }
    event.input_event_sec = static_cast<decltype(event.input_event_sec)>(stamp / kSecond);
    event.input_event_usec = static_cast<decltype(event.input_event_usec)>(stamp % kSecond / 1000);
    stamp = stamp / 1000 * 1000;

    const int got = DetectShortPress(&detector, event, now);
    int expected = 0;
    if (IsGuarded(event) && event.value == 1) {
      model_down = ToNanoseconds(now);
      model_went_down = detector.stamps_monotonic && stamp < model_down ? stamp : model_down;
    }
    if (IsGuarded(event) && event.value == 0) expected = ToNanoseconds(now) - model_down < kSecond;
    FUZZ_CHECK(got == expected, "a short press is a guarded key-up less than 1 s after the key-down");
    FUZZ_CHECK(ToNanoseconds(detector.press_time) == model_down,
               "only a guarded key-down moves the remembered time");
    FUZZ_CHECK(ToNanoseconds(detector.down_time) == model_went_down,
               "the key went down at its monotonic stamp when that is earlier, else when it was read");
  }
  return 0;
}
