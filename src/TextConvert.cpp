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

using Byte = unsigned char;

// ASCII runs are widened or narrowed sixteen code units at a time (SSE2 where the compiler
// targets it, plain loops elsewhere). A block is always stored whole, even when only its first
// units are ASCII: the output has room for it, and the rest is overwritten next. The last units
// of a text (fewer than a block) are taken as the block that ends with them: it is stored so that
// its new units land at the output's end, over output already made, which is saved before and
// put back after. So a path-sized text needs no unit-by-unit tail.
constexpr size_t kBlock = 16;

// Texts up to these lengths (paths and names, mostly) are converted on the stack and copied once
// into a result of exactly their size; longer ones are written straight into the result.
constexpr size_t kSmallUtf8 = 256;
constexpr size_t kSmallWide = 256;

// A long result grows slice by slice, each slice zero-filled (by resize) just before it is
// written, so that the filling stays in the cache instead of running far ahead of its use.
constexpr size_t kSlice = 4096;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

// Stores the first byte of the sequence from the lowest bits of bytes, then the next ones.
inline void StoreInOrder(char* out, uint32_t bytes) {
  if (!kLittleEndian)
    bytes = __builtin_bswap32(bytes);
  std::memcpy(out, &bytes, sizeof bytes);
}

// --- UTF-8 to wide -----------------------------------------------------------------------------

// The four bytes at p, the first one lowest.
inline uint32_t LoadInOrder(const Byte* p) {
  uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return kLittleEndian ? word : __builtin_bswap32(word);
}

// Decodes the multi-byte sequence at p, of which four bytes are readable. Returns its length when
// it is well formed (shortest form, continuation bytes in place, no surrogate, nothing above
// U+10FFFF), 0 otherwise. One masked comparison checks a lead and its continuation bytes at once;
// the branches follow the text's usual sequence length, so they are rarely mispredicted.
inline unsigned DecodeSequence(const Byte* p, uint32_t& code) {
  const uint32_t w = LoadInOrder(p);
  if ((w & 0xC0C0F0u) == 0x8080E0u) { // 1110xxxx 10xxxxxx 10xxxxxx
    code = ((w & 0x0F) << 12) | ((w & 0x3F00) >> 2) | ((w >> 16) & 0x3F);
    return code >= 0x800 && code - 0xD800 >= 0x800 ? 3 : 0;
  }
  if ((w & 0xC0E0u) == 0x80C0u) { // 110xxxxx 10xxxxxx
    code = ((w & 0x1F) << 6) | ((w >> 8) & 0x3F);
    return code >= 0x80 ? 2 : 0;
  }
  if ((w & 0xC0C0C0F8u) == 0x808080F0u) { // 11110xxx 10xxxxxx 10xxxxxx 10xxxxxx
    code = ((w & 0x07) << 18) | ((w & 0x3F00) << 4) | ((w >> 10) & 0xFC0) | ((w >> 24) & 0x3F);
    return code >= 0x10000 && code < 0x110000 ? 4 : 0;
  }
  return 0;
}

#if defined(__SSE2__)

// The sixteen bytes at in widened to sixteen elements at out; returns a bit per byte that is not
// ASCII (those elements are then meaningless), and with kToNul also per NUL byte.
template <bool kToNul> inline unsigned WidenBlock(const Byte* in, wchar_t* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
  auto* o = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(o, _mm_unpacklo_epi16(low, zero));
  _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(low, zero));
  _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(high, zero));
  _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(high, zero));
  auto stops = static_cast<unsigned>(_mm_movemask_epi8(bytes));
  if (kToNul)
    stops |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
  return stops;
}

#else

template <bool kToNul> inline unsigned WidenBlock(const Byte* in, wchar_t* out) {
  unsigned stops = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    out[i] = static_cast<wchar_t>(in[i]);
    stops |= static_cast<unsigned>(in[i] >> 7 || (kToNul && in[i] == 0)) << i;
  }
  return stops;
}

#endif

// The units from `at` to sliceEnd (fewer than a block) converted by the block that ends at
// sliceEnd, stored so that the new units land at out; the output before out, which the block's
// first units overwrite, is saved and put back. Needs a block of input before sliceEnd and of
// output before out. Returns the stops among the new units, as convert marks them.
template <class Unit, class Output, class Convert>
unsigned LastBlock(const Unit* at, const Unit* sliceEnd, Output* out, Convert convert) {
  const auto back = static_cast<unsigned>(kBlock - static_cast<size_t>(sliceEnd - at));
  Output kept[kBlock];
  std::memcpy(kept, out - kBlock, sizeof kept);
  const unsigned stops = convert(sliceEnd - kBlock, out - back) >> back;
  std::memcpy(out - kBlock, kept, sizeof kept);
  return stops;
}

// Converts the sequences that begin in [in, sliceEnd) into out, which has room for one element
// per byte of that range. A sequence may run on past sliceEnd up to end. Returns the end of the
// output; in is left at the first sequence not converted. With kToNul the text ends at its first
// NUL byte (sliceEnd is then end).
template <bool kToNul>
wchar_t* ToWide(const Byte*& in, const Byte* const sliceEnd, const Byte* const end, wchar_t* out) {
  const Byte* p = in;
  const wchar_t* const outFirst = out;
  while (p < sliceEnd) {
    unsigned stops;
    if (sliceEnd - p >= static_cast<ptrdiff_t>(kBlock)) {
      stops = WidenBlock<kToNul>(p, out);
      if (stops == 0) {
        p += kBlock;
        out += kBlock;
        continue;
      }
    } else if (sliceEnd - in >= static_cast<ptrdiff_t>(kBlock) &&
               out - outFirst >= static_cast<ptrdiff_t>(kBlock)) {
      stops = LastBlock(p, sliceEnd, out, WidenBlock<kToNul>);
      if (stops == 0) {
        out += sliceEnd - p;
        p = sliceEnd;
        break;
      }
    } else if (*p < 0x80) {
      if (kToNul && *p == 0)
        break;
      *out++ = static_cast<wchar_t>(*p++);
      continue;
    } else {
      stops = 1;
    }
    const auto ascii = static_cast<unsigned>(__builtin_ctz(stops));
    p += ascii;
    out += ascii;
    if (kToNul && *p == 0)
      break;
    // At a non-ASCII byte: decode sequences here until a run of ASCII begins, so that text with a
    // lone ASCII character among others (CJK with digits) does not go back to the blocks each
    // time, and text with a lone non-ASCII character among ASCII returns to them at once.
    for (;;) {
      if (*p < 0x80) {
        if (sliceEnd - p < 2 || p[1] < 0x80 || (kToNul && *p == 0))
          break;
        *out++ = static_cast<wchar_t>(*p++);
      }
      uint32_t code;
      const unsigned length = end - p >= 4 ? DecodeSequence(p, code) : 0;
      if (length != 0) {
        *out++ = static_cast<wchar_t>(code);
        p += length;
      } else {
        // Malformed, or too near the end for a four-byte read: Boost's own decoder decides how
        // much to drop, so that the result matches its skip method byte for byte. A NUL that
        // ends the text ends the sequence too.
        const char* at = reinterpret_cast<const char*>(p);
        const char* stop = reinterpret_cast<const char*>(end);
        if (kToNul)
          if (const void* nul = std::memchr(at, 0, static_cast<size_t>(stop - at)))
            stop = static_cast<const char*>(nul);
        const utf::code_point c = utf::utf_traits<char>::decode(at, stop);
        p = reinterpret_cast<const Byte*>(at);
        if (c != utf::illegal && c != utf::incomplete)
          *out++ = static_cast<wchar_t>(c);
      }
      if (p >= sliceEnd)
        break;
    }
  }
  in = p;
  return out;
}

// --- wide to UTF-8 -----------------------------------------------------------------------------

#if defined(__SSE2__)

inline __m128i Load(const wchar_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The sixteen elements at in narrowed to sixteen bytes at out; returns a bit per element that is
// not ASCII (those bytes are then meaningless), and with kToNul also per NUL element.
template <bool kToNul> inline unsigned NarrowBlock(const wchar_t* in, char* out) {
  const __m128i a = Load(in), b = Load(in + 4), c = Load(in + 8), d = Load(in + 12);
  // The packs saturate: an ASCII lane is its own byte; a lane from 0x80 to 0x7FFFFFFF becomes a
  // byte of 0x80 or more; a negative one (as a signed value) becomes 0 here and a byte of 0x80 or
  // more in the signed pack below.
  const __m128i words = _mm_packs_epi32(a, b), moreWords = _mm_packs_epi32(c, d);
  const __m128i bytes = _mm_packus_epi16(words, moreWords);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  const auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
  if (kToNul) // the zero bytes are the NULs and the negative lanes
    return high |
           static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
  return high | static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(words, moreWords)));
}

// For k = 0 to 16, the mask that keeps the first k bytes of a block.
struct KeepFirst {
  alignas(16) uint8_t mask[kBlock + 1][kBlock];
};
constexpr KeepFirst MakeKeepFirst() {
  KeepFirst table{};
  for (size_t k = 0; k <= kBlock; ++k)
    for (size_t i = 0; i < k; ++i)
      table.mask[k][i] = 0xFF;
  return table;
}
constexpr KeepFirst kKeepFirst = MakeKeepFirst();

// Rewrites the sixteen bytes just narrowed at out, of which the one at `at` stands for a two-byte
// character c, as the bytes before it, c's two bytes and the bytes after it: seventeen bytes.
// Kept out of line: inlined, it costs the loop that encodes runs of CJK text a tenth of its speed.
__attribute__((noinline)) void InsertPair(char* out, unsigned at, uint32_t c) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), bytes);
  const __m128i keep = _mm_load_si128(reinterpret_cast<const __m128i*>(kKeepFirst.mask[at]));
  _mm_storeu_si128(
      reinterpret_cast<__m128i*>(out),
      _mm_or_si128(_mm_and_si128(keep, bytes), _mm_andnot_si128(keep, _mm_slli_si128(bytes, 1))));
  auto pair = static_cast<uint16_t>(0x80C0u | (c >> 6) | ((c & 0x3F) << 8));
  if (!kLittleEndian)
    pair = __builtin_bswap16(pair);
  std::memcpy(out + at, &pair, sizeof pair);
}

#else

template <bool kToNul> inline unsigned NarrowBlock(const wchar_t* in, char* out) {
  unsigned stops = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    const auto c = static_cast<uint32_t>(in[i]);
    out[i] = static_cast<char>(c);
    stops |= static_cast<unsigned>(c > 0x7F || (kToNul && c == 0)) << i;
  }
  return stops;
}

#endif

// Converts the elements of [in, sliceEnd) into out, which has room for four bytes per element.
// Returns the end of the output. With kToNul the text ends at its first NUL element.
template <bool kToNul> char* ToUtf8(const wchar_t* in, const wchar_t* const sliceEnd, char* out) {
  const wchar_t* const first = in;
  const char* const outFirst = out;
  while (in < sliceEnd) {
    unsigned stops;
    if (sliceEnd - in >= static_cast<ptrdiff_t>(kBlock)) {
      stops = NarrowBlock<kToNul>(in, out);
      if (stops == 0) {
        in += kBlock;
        out += kBlock;
        continue;
      }
#if defined(__SSE2__)
      // One stop, at a two-byte character (an accented letter among ASCII ones): the block is
      // finished here, and the next one begins right after it.
      const auto at = static_cast<unsigned>(__builtin_ctz(stops));
      const auto c = static_cast<uint32_t>(in[at]);
      if (c - 0x80 < 0x780 && (stops & (stops - 1)) == 0) {
        InsertPair(out, at, c);
        in += kBlock;
        out += kBlock + 1;
        continue;
      }
#endif
    } else if (sliceEnd - first >= static_cast<ptrdiff_t>(kBlock) &&
               out - outFirst >= static_cast<ptrdiff_t>(kBlock)) {
      stops = LastBlock(in, sliceEnd, out, NarrowBlock<kToNul>);
      if (stops == 0) {
        out += sliceEnd - in;
        in = sliceEnd;
        break;
      }
    } else if (static_cast<uint32_t>(*in) < 0x80) {
      if (kToNul && *in == 0)
        break;
      *out++ = static_cast<char>(*in++);
      continue;
    } else {
      stops = 1;
    }
    const auto ascii = static_cast<unsigned>(__builtin_ctz(stops));
    in += ascii;
    out += ascii;
    if (kToNul && *in == 0)
      break;
    // At a non-ASCII element: encode here until a run of ASCII begins (see ToWide). Each element
    // has four bytes of room, so all four are stored and only its length is kept.
    for (;;) {
      auto c = static_cast<uint32_t>(*in);
      if (c < 0x80) {
        if (sliceEnd - in < 2 || static_cast<uint32_t>(in[1]) < 0x80 || (kToNul && c == 0))
          break;
        *out++ = static_cast<char>(c);
        c = static_cast<uint32_t>(*++in);
      }
      if (c < 0x800) {
        StoreInOrder(out, 0x80C0u | (c >> 6) | ((c & 0x3F) << 8));
        out += 2;
      } else if (c < 0x10000) {
        StoreInOrder(out, 0x8080E0u | (c >> 12) | (((c >> 6) & 0x3F) << 8) | ((c & 0x3F) << 16));
        out += c - 0xD800 >= 0x800 ? 3 : 0; // surrogates are not code points
      } else if (c < 0x110000) {
        StoreInOrder(out, 0x808080F0u | (c >> 18) | (((c >> 12) & 0x3F) << 8) |
                              (((c >> 6) & 0x3F) << 16) | ((c & 0x3F) << 24));
        out += 4;
      } // values beyond U+10FFFF are not code points either
      if (++in >= sliceEnd)
        break;
    }
  }
  return out;
}

} // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  const auto* in = reinterpret_cast<const Byte*>(utf8.data());
  const Byte* const end = in + utf8.size();
  if (utf8.size() <= kSmallUtf8) {
    wchar_t buffer[kSmallUtf8];
    return std::wstring(buffer, ToWide<false>(in, end, end, buffer));
  }
  // At most one element per input byte: reserved once, so the result never moves.
  std::wstring result;
  result.reserve(utf8.size());
  size_t done = 0;
  while (in < end) {
    // The elements so far plus one per byte of the slice; never more than the reservation,
    // since no more elements than bytes came before.
    const size_t room = std::min(kSlice, static_cast<size_t>(end - in));
    result.resize(done + room);
    wchar_t* const first = result.data();
    done = static_cast<size_t>(ToWide<false>(in, in + room, end, first + done) - first);
  }
  result.resize(done);
  return result;
}

std::string WideToUtf8(std::wstring_view wide) {
  const wchar_t* in = wide.data();
  const wchar_t* const end = in + wide.size();
  if (wide.size() <= kSmallWide) {
    char buffer[4 * kSmallWide];
    return std::string(buffer, ToUtf8<false>(in, end, buffer));
  }
  // At most four bytes per element: reserved once, so the result never moves.
  std::string result;
  result.reserve(4 * wide.size());
  size_t done = 0;
  while (in < end) {
    const size_t count = std::min(kSlice, static_cast<size_t>(end - in));
    result.resize(done + 4 * count);
    char* const first = result.data();
    done = static_cast<size_t>(ToUtf8<false>(in, in + count, first + done) - first);
    in += count;
  }
  result.resize(done);
  return result;
}

std::wstring Utf8ToWideUpToNul(const std::string& text) {
  // A long text is measured first, so that a NUL near its start keeps the result small.
  if (text.size() > kSmallUtf8)
    return Utf8ToWide(UpToNul(text));
  const auto* in = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = in + text.size();
  wchar_t buffer[kSmallUtf8];
  return std::wstring(buffer, ToWide<true>(in, end, end, buffer));
}

std::string WideToUtf8UpToNul(const std::wstring& text) {
  if (text.size() > kSmallWide)
    return WideToUtf8(UpToNul(text));
  char buffer[4 * kSmallWide];
  return std::string(buffer, ToUtf8<true>(text.data(), text.data() + text.size(), buffer));
}

} // namespace orvanta::text
