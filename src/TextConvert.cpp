#include "TextConvert.h"

#include <boost/locale/utf.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvanta::text {

namespace utf = boost::locale::utf;

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings hold one 32-bit code point per element");

// Runs of ASCII are widened or narrowed sixteen code units at a time (SSE2 where the compiler
// targets it, plain loops elsewhere).
constexpr size_t kBlock = 16;

// Output is produced in slices of at most this many elements, each sized just before it is
// written, so that nothing is zero-filled far ahead of its use.
constexpr size_t kSlice = 4096;

inline bool IsTrail(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Whether the sixteen bytes at p are all ASCII.
inline bool AllAscii(const char* p) {
  uint64_t halves[2];
  std::memcpy(halves, p, sizeof halves);
  return ((halves[0] | halves[1]) & 0x8080808080808080ULL) == 0;
}

#if defined(__SSE2__)

inline __m128i Load(const wchar_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// All-ones in each 32-bit lane whose element is ASCII (0 to 0x7F as an unsigned value).
inline __m128i AsciiLanes(__m128i units) {
  return _mm_cmpeq_epi32(_mm_and_si128(units, _mm_set1_epi32(~0x7F)), _mm_setzero_si128());
}

// Whether the sixteen elements at p are all ASCII.
inline bool AllAscii(const wchar_t* p) {
  const __m128i any =
      _mm_or_si128(_mm_or_si128(Load(p), Load(p + 4)), _mm_or_si128(Load(p + 8), Load(p + 12)));
  return _mm_movemask_epi8(AsciiLanes(any)) == 0xFFFF;
}

// Sixteen ASCII bytes to sixteen elements.
inline void Widen(const char* in, wchar_t* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
  auto* o = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(o, _mm_unpacklo_epi16(low, zero));
  _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low, zero));
  _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high, zero));
  _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high, zero));
}

// Sixteen ASCII elements to sixteen bytes (no lane saturates, since every value is below 0x80).
inline void Narrow(const wchar_t* in, char* out) {
  const __m128i low = _mm_packs_epi32(Load(in), Load(in + 4));
  const __m128i high = _mm_packs_epi32(Load(in + 8), Load(in + 12));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
}

// The number of elements among count at p that are not ASCII.
inline size_t CountNonAscii(const wchar_t* p, size_t count) {
  __m128i ascii = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 4 <= count; i += 4)
    ascii = _mm_sub_epi32(ascii, AsciiLanes(Load(p + i)));
  uint32_t lanes[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), ascii);
  size_t nonAscii = i - (lanes[0] + lanes[1] + lanes[2] + lanes[3]);
  for (; i < count; ++i)
    nonAscii += static_cast<uint32_t>(p[i]) > 0x7F;
  return nonAscii;
}

#else

inline bool AllAscii(const wchar_t* p) {
  uint32_t any = 0;
  for (size_t i = 0; i < kBlock; ++i)
    any |= static_cast<uint32_t>(p[i]);
  return any < 0x80;
}

inline void Widen(const char* in, wchar_t* out) {
  for (size_t i = 0; i < kBlock; ++i)
    out[i] = static_cast<wchar_t>(static_cast<unsigned char>(in[i]));
}

inline void Narrow(const wchar_t* in, char* out) {
  for (size_t i = 0; i < kBlock; ++i)
    out[i] = static_cast<char>(in[i]);
}

inline size_t CountNonAscii(const wchar_t* p, size_t count) {
  size_t nonAscii = 0;
  for (size_t i = 0; i < count; ++i)
    nonAscii += static_cast<uint32_t>(p[i]) > 0x7F;
  return nonAscii;
}

#endif

} // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  // One element per input byte is the most the result can need.
  std::wstring result;
  result.reserve(utf8.size());
  const char* in = utf8.data();
  const char* const end = in + utf8.size();
  while (in != end) {
    // A slice of input bytes yields at most as many elements; a sequence begun inside the slice
    // may end beyond it.
    const size_t done = result.size();
    const size_t room = std::min(kSlice, static_cast<size_t>(end - in));
    result.resize(done + room);
    wchar_t* const first = result.data() + done;
    wchar_t* out = first;
    const char* const sliceEnd = in + room;
    while (in < sliceEnd) {
      const auto lead = static_cast<unsigned char>(*in);
      if (lead < 0x80) {
        if (sliceEnd - in >= static_cast<ptrdiff_t>(kBlock) && AllAscii(in)) {
          Widen(in, out);
          in += kBlock;
          out += kBlock;
        } else {
          *out++ = static_cast<wchar_t>(lead);
          ++in;
        }
        continue;
      }
      // Well-formed two- and three-byte sequences directly; anything else goes to Boost's own
      // decoder, so that what is dropped matches its skip method byte for byte.
      if (lead >= 0xC2 && lead <= 0xDF && end - in >= 2 && IsTrail(in[1])) {
        *out++ = static_cast<wchar_t>(((lead & 0x1F) << 6) | (in[1] & 0x3F));
        in += 2;
        continue;
      }
      if (lead >= 0xE0 && lead <= 0xEF && end - in >= 3 && IsTrail(in[1]) && IsTrail(in[2])) {
        const uint32_t c = ((lead & 0x0Fu) << 12) | ((in[1] & 0x3Fu) << 6) | (in[2] & 0x3Fu);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
          *out++ = static_cast<wchar_t>(c);
          in += 3;
          continue;
        }
      }
      const utf::code_point c = utf::utf_traits<char>::decode(in, end);
      if (c != utf::illegal && c != utf::incomplete)
        *out++ = static_cast<wchar_t>(c);
    }
    result.resize(done + static_cast<size_t>(out - first));
  }
  return result;
}

std::string WideToUtf8(std::wstring_view wide) {
  // Exactly enough for ASCII text; other text grows from here.
  std::string result;
  result.reserve(wide.size());
  const wchar_t* in = wide.data();
  const wchar_t* const end = in + wide.size();
  while (in != end) {
    // An ASCII element takes one byte, any other at most four.
    const size_t count = std::min(kSlice, static_cast<size_t>(end - in));
    const size_t done = result.size();
    result.resize(done + count + 3 * CountNonAscii(in, count));
    char* const first = result.data() + done;
    char* out = first;
    const wchar_t* const sliceEnd = in + count;
    while (in < sliceEnd) {
      const auto c = static_cast<uint32_t>(*in);
      if (c < 0x80) {
        if (sliceEnd - in >= static_cast<ptrdiff_t>(kBlock) && AllAscii(in)) {
          Narrow(in, out);
          in += kBlock;
          out += kBlock;
        } else {
          *out++ = static_cast<char>(c);
          ++in;
        }
        continue;
      }
      ++in;
      if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) // surrogates are not code points
          continue;
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c <= 0x10FFFF) {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } // values beyond U+10FFFF are not code points either
    }
    result.resize(done + static_cast<size_t>(out - first));
  }
  return result;
}

} // namespace orvanta::text
