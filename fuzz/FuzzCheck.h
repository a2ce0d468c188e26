// What every fuzz target shares: the size limit and a check that holds in every build type.
#ifndef ORVANTA_FUZZ_FUZZCHECK_H
#define ORVANTA_FUZZ_FUZZCHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// The input as wide text: every byte as one element (so that separators and escapes are
// frequent), then the same bytes read as whole wchar_t elements (any 32-bit value).
inline std::wstring FuzzBytesToWide(const uint8_t* data, std::size_t size) {
  std::wstring wide;
  for (std::size_t i = 0; i < size; ++i)
    wide += static_cast<wchar_t>(data[i]);
  for (std::size_t i = 0; i + sizeof(wchar_t) <= size; i += sizeof(wchar_t)) {
    wchar_t element;
    std::memcpy(&element, data + i, sizeof element);
    wide += element;
  }
  return wide;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

#endif // ORVANTA_FUZZ_FUZZCHECK_H
