// The fuzz targets' one assertion: a property that does not hold is a
// finding, reported like a crash so libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, message)                                              \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: property failed: %s (%s)\n", __FILE__, __LINE__, \
                   message, #condition);                                            \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
