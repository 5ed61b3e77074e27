// FUZZ_CHECK: a property the fuzz target asserts. A failure prints the
// condition and aborts, which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

// The same, with a printf-style explanation of the values involved.
#define FUZZ_CHECK_MSG(condition, ...)                                             \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                           \
      std::fputc('\n', stderr);                                                    \
      std::abort();                                                                \
    }                                                                              \
  } while (0)
