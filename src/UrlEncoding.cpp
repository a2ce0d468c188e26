#include "Utils.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// The bytes URLEncode leaves alone: A-Z, a-z, 0-9, "@" and ".".
constexpr std::array<bool, 256> MakeSafeTable() {
  std::array<bool, 256> safe{};
  for (int c = 0; c < 256; ++c)
    safe[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '@' || c == '.';
  return safe;
}
constexpr std::array<bool, 256> kSafe = MakeSafeTable();

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

constexpr char kUpperHex[] = "0123456789ABCDEF";

inline unsigned char Byte(char c) {
  return static_cast<unsigned char>(c);
}

// An empty C string from malloc, the answer to a null text.
char* EmptyBuffer() {
  char* buffer = static_cast<char*>(std::malloc(1));
  if (buffer != nullptr)
    *buffer = '\0';
  return buffer;
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
  size_t count = 0;
  for (; *text != '\0'; ++text)
    count += !kSafe[Byte(*text)];
  return static_cast<int>(count);
}

char* URLEncode(const char* text) {
  if (text == nullptr)
    return EmptyBuffer();
  // Counted in size_t, not through the int of numOfEncodingChar, so a huge text cannot make the
  // buffer too small.
  size_t length = 0, unsafe = 0;
  for (const char* p = text; *p != '\0'; ++p, ++length)
    unsafe += !kSafe[Byte(*p)];
  char* result = static_cast<char*>(std::malloc(length + 2 * unsafe + 1));
  if (result == nullptr)
    return nullptr;
  char* out = result;
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = Byte(*p);
    if (kSafe[c]) {
      *out++ = static_cast<char>(c);
    } else {
      out[0] = '%';
      out[1] = kUpperHex[c >> 4];
      out[2] = kUpperHex[c & 0x0F];
      out += 3;
    }
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
  while (in < end) {
    // Copy the run up to the next "%" in one go.
    const char* percent =
        static_cast<const char*>(std::memchr(in, '%', static_cast<size_t>(end - in)));
    const char* runEnd = percent != nullptr ? percent : end;
    std::memcpy(out, in, static_cast<size_t>(runEnd - in));
    out += runEnd - in;
    if (percent == nullptr)
      break;
    // in[1] and in[2] are read only while the byte before is not the terminating NUL.
    in = percent;
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
