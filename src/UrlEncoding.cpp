#include "Utils.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The bytes URLEncode leaves alone: A-Z, a-z, 0-9, "@" and ".".
constexpr bool IsSafe(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '.';
}

constexpr char kUpperHex[] = "0123456789ABCDEF";

// What URLEncode writes for each byte: the byte itself or "%XX", then the length written (1 or 3)
// in the fourth byte. One four-byte store writes any entry; the bytes beyond its length are
// overwritten by what follows.
constexpr uint32_t PackBytes(unsigned char b0, unsigned char b1, unsigned char b2,
                             unsigned char b3) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return uint32_t{b0} << 24 | uint32_t{b1} << 16 | uint32_t{b2} << 8 | b3;
#else
  return uint32_t{b0} | uint32_t{b1} << 8 | uint32_t{b2} << 16 | uint32_t{b3} << 24;
#endif
}
inline unsigned EntryLength(uint32_t entry) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return entry & 0xFF;
#else
  return entry >> 24;
#endif
}
constexpr std::array<uint32_t, 256> MakeEncodeTable() {
  std::array<uint32_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    table[c] = IsSafe(c) ? PackBytes(byte, 0, 0, 1)
                         : PackBytes('%', kUpperHex[c >> 4], kUpperHex[c & 0x0F], 3);
  }
  return table;
}
constexpr std::array<uint32_t, 256> kEncode = MakeEncodeTable();

// Writes one table entry and moves past it.
inline char* PutEntry(char* out, unsigned char c) {
  const uint32_t entry = kEncode[c];
  std::memcpy(out, &entry, sizeof entry);
  return out + EntryLength(entry);
}

// The value of a hexadecimal digit in either case, or -1 for any other byte (NUL included).
constexpr std::array<signed char, 256> MakeHexValueTable() {
  std::array<signed char, 256> value{};
  for (int c = 0; c < 256; ++c)
    value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
               : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
               : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                      : static_cast<signed char>(-1);
  return value;
}
constexpr std::array<signed char, 256> kHexValue = MakeHexValueTable();

inline unsigned char Byte(char c) {
  return static_cast<unsigned char>(c);
}

// Sixteen bytes at a time through the compiler's portable vector extension (SSE2 on x86-64,
// NEON on arm64), so long runs are classified without a branch per byte.
constexpr size_t kBlock = 16;
typedef unsigned char Block __attribute__((vector_size(kBlock)));

inline Block LoadBlock(const char* p) {
  Block block;
  std::memcpy(&block, p, kBlock);
  return block;
}
inline Block Splat(unsigned char c) {
  Block block;
  for (size_t i = 0; i < kBlock; ++i)
    block[i] = c;
  return block;
}

// 0xFF in every lane whose byte URLEncode escapes, 0 elsewhere. Unsigned wrap-around turns each
// range test into one subtraction and one comparison; "@" (0x40) sits just below "A".
inline Block UnsafeLanes(Block b) {
  const Block digit = reinterpret_cast<Block>(b - Splat('0') <= Splat(9));
  const Block upperOrAt = reinterpret_cast<Block>(b - Splat('@') <= Splat('Z' - '@'));
  const Block lower = reinterpret_cast<Block>(b - Splat('a') <= Splat('z' - 'a'));
  const Block dot = reinterpret_cast<Block>(b == Splat('.'));
  return ~(digit | upperOrAt | lower | dot);
}

// The number of 0xFF lanes of a mask.
inline size_t CountLanes(Block mask) {
  uint64_t halves[2];
  std::memcpy(halves, &mask, sizeof halves);
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  return static_cast<size_t>((((halves[0] & kOnes) + (halves[1] & kOnes)) * kOnes) >> 56);
}
inline bool AnyLane(Block mask) {
  uint64_t halves[2];
  std::memcpy(halves, &mask, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}
// The index of the first 0xFF lane of a mask, or 16 when there is none.
inline size_t FirstLane(Block mask) {
  uint64_t halves[2];
  std::memcpy(halves, &mask, sizeof halves);
  if (halves[0] != 0)
    return static_cast<size_t>(__builtin_ctzll(halves[0])) / 8;
  if (halves[1] != 0)
    return 8 + static_cast<size_t>(__builtin_ctzll(halves[1])) / 8;
  return kBlock;
}

// An empty C string from malloc, the answer to a null text.
char* EmptyBuffer() {
  char* buffer = static_cast<char*>(std::malloc(1));
  if (buffer != nullptr)
    *buffer = '\0';
  return buffer;
}

// The number of bytes URLEncode escapes among the first length bytes of text.
size_t CountUnsafe(const char* text, size_t length) {
  size_t count = 0, i = 0;
  for (; i + kBlock <= length; i += kBlock)
    count += CountLanes(UnsafeLanes(LoadBlock(text + i)));
  for (; i < length; ++i)
    count += !IsSafe(Byte(text[i]));
  return count;
}

} // namespace

int numOfPercent(const char* text) {
  if (text == nullptr)
    return 0;
  size_t count = 0;
  for (; *text != '\0'; ++text)
    count += *text == '%';
  return static_cast<int>(count);
}

int numOfEncodingChar(const char* text) {
  if (text == nullptr)
    return 0;
  return static_cast<int>(CountUnsafe(text, std::strlen(text)));
}

char* URLEncode(const char* text) {
  if (text == nullptr)
    return EmptyBuffer();
  // Counted in size_t, not through the int of numOfEncodingChar, so a huge text cannot make the
  // buffer too small.
  const size_t length = std::strlen(text);
  char* result = static_cast<char*>(std::malloc(length + 2 * CountUnsafe(text, length) + 1));
  if (result == nullptr)
    return nullptr;
  char* out = result;
  size_t i = 0;
  // Each table entry is copied as four bytes. That stays inside the buffer while at least two
  // more input bytes follow (they take at least two more output bytes, and the NUL one).
  const size_t wideEnd = length > 2 ? length - 2 : 0;
  for (; i + kBlock <= wideEnd; i += kBlock) {
    const Block block = LoadBlock(text + i);
    if (!AnyLane(UnsafeLanes(block))) {
      std::memcpy(out, &block, kBlock);
      out += kBlock;
      continue;
    }
    for (size_t k = 0; k < kBlock; ++k)
      out = PutEntry(out, block[k]);
  }
  for (; i < wideEnd; ++i)
    out = PutEntry(out, Byte(text[i]));
  for (; i < length; ++i) {
    const uint32_t entry = kEncode[Byte(text[i])];
    unsigned char bytes[4];
    std::memcpy(bytes, &entry, sizeof bytes);
    std::memcpy(out, bytes, EntryLength(entry));
    out += EntryLength(entry);
  }
  *out = '\0';
  return result;
}

char* URLDecode(const char* text) {
  if (text == nullptr)
    return EmptyBuffer();
  const size_t length = std::strlen(text);
  char* result = static_cast<char*>(std::malloc(length + 1));
  if (result == nullptr)
    return nullptr;
  char* out = result;
  const char* in = text;
  const char* const end = text + length;
  const Block percent = Splat('%');
  while (in < end) {
    // The bytes up to the next "%" are copied sixteen at a time, without a branch per byte. The
    // whole block is stored, which stays inside the buffer: out never runs ahead of in, and
    // sixteen input bytes remain.
    // A lone byte between two escapes (dense escapes, as in encoded binary) is copied on its own:
    // a block would carry it alone.
    if (*in != '%' && end - in >= static_cast<ptrdiff_t>(kBlock) && in[1] != '%') {
      const Block block = LoadBlock(in);
      const size_t plain = FirstLane(reinterpret_cast<Block>(block == percent));
      std::memcpy(out, &block, kBlock);
      out += plain;
      in += plain;
      if (plain == kBlock)
        continue;
    } else if (*in != '%') {
      *out++ = *in++;
      continue;
    }
    // in[1] and in[2] are read only while the byte before is not the terminating NUL.
    const int high = kHexValue[Byte(in[1])];
    if (high < 0) {
      in += 1; // a lone "%" is dropped
      continue;
    }
    const int low = kHexValue[Byte(in[2])];
    if (low < 0) {
      in += 2; // "%" and one digit are dropped; the next byte is decoded on its own
      continue;
    }
    *out++ = static_cast<char>((high << 4) | low);
    in += 3;
  }
  *out = '\0';
  return result;
}

std::wstring PostDataEncode(std::wstring text) {
  std::wstring result;
  result.reserve(text.size());
  for (wchar_t c : text) {
    const wchar_t* escape = nullptr;
    switch (c) {
    case L' ':
      escape = L"%20";
      break;
    case L'#':
      escape = L"%23";
      break;
    case L'$':
      escape = L"%24";
      break;
    case L'%':
      escape = L"%25";
      break;
    case L'&':
      escape = L"%26";
      break;
    case L'+':
      escape = L"%2B";
      break;
    case L'@':
      escape = L"%40";
      break;
    case L'^':
      escape = L"%5E";
      break;
    default:
      result.push_back(c);
      continue;
    }
    result.append(escape, 3);
  }
  return result;
}
