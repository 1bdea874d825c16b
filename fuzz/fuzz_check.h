#pragma once

#include <cstdio>
#include <cstdlib>

/// A property every fuzz input must keep. Unlike assert it stays on in every build type, and it
/// aborts, so libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
