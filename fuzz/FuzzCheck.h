// What every fuzz target shares: the size limit and a check that holds in every build type.
#ifndef ORVANTA_FUZZ_FUZZCHECK_H
#define ORVANTA_FUZZ_FUZZCHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Inputs above this size are skipped: nothing new is found there, only time lost.
inline constexpr std::size_t kMaxFuzzInput = 4096;

// Aborts with the failed condition, so that both libFuzzer and the replay program report it.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);           \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

#endif // ORVANTA_FUZZ_FUZZCHECK_H
