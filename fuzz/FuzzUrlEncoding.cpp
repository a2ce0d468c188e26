// URLEncode / URLDecode round trip with the counters that size their buffers, URLDecode of raw
// text, and PostDataEncode undone by hand.
#include "FuzzCheck.h"
#include "Utils.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Safe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '.';
}

bool UpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Every "%" that PostDataEncode writes starts one of its eight escapes, so one pass undoes it.
// wellFormed turns false when a character that has an escape stands unescaped, or a "%" starts
// none of the escapes.
std::wstring UndoPostData(const std::wstring& encoded, bool& wellFormed) {
  static const struct {
    wchar_t character;
    const wchar_t* escape;
  } kEscapes[] = {{L' ', L"%20"}, {L'#', L"%23"}, {L'$', L"%24"}, {L'%', L"%25"},
                  {L'&', L"%26"}, {L'+', L"%2B"}, {L'@', L"%40"}, {L'^', L"%5E"}};
  std::wstring text;
  wellFormed = true;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == L'%') {
      bool matched = false;
      for (const auto& e : kEscapes) {
        if (encoded.compare(i, 3, e.escape) == 0) {
          text += e.character;
          i += 2;
          matched = true;
          break;
        }
      }
      wellFormed = wellFormed && matched;
      continue;
    }
    for (const auto& e : kEscapes)
      wellFormed = wellFormed && encoded[i] != e.character;
    text += encoded[i];
  }
  return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > kMaxFuzzInput)
    return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const char* text = input.c_str(); // the C string ends at the first NUL
  const std::size_t length = std::strlen(text);

  int unsafe = 0, percents = 0;
  for (std::size_t i = 0; i < length; ++i) {
    unsafe += Safe(static_cast<unsigned char>(text[i])) ? 0 : 1;
    percents += text[i] == '%' ? 1 : 0;
  }
  FUZZ_CHECK(numOfEncodingChar(text) == unsafe);
  FUZZ_CHECK(numOfPercent(text) == percents);

  char* encoded = URLEncode(text);
  FUZZ_CHECK(encoded != nullptr);
  FUZZ_CHECK(std::strlen(encoded) == length + 2 * static_cast<std::size_t>(unsafe));
  for (const char* c = encoded; *c != '\0'; ++c) {
    if (*c == '%') {
      FUZZ_CHECK(UpperHex(c[1]) && UpperHex(c[2]));
      c += 2;
    } else {
      FUZZ_CHECK(Safe(static_cast<unsigned char>(*c)));
    }
  }
  char* decoded = URLDecode(encoded);
  FUZZ_CHECK(decoded != nullptr && std::strcmp(decoded, text) == 0);
  std::free(decoded);
  std::free(encoded);

  // Arbitrary text, malformed escapes included, never decodes to more than it was.
  char* raw = URLDecode(text);
  FUZZ_CHECK(raw != nullptr && std::strlen(raw) <= length);
  std::free(raw);

  const std::wstring wide = FuzzBytesToWide(data, size);
  const std::wstring form = PostDataEncode(wide);
  bool wellFormed = false;
  FUZZ_CHECK(UndoPostData(form, wellFormed) == wide);
  FUZZ_CHECK(wellFormed);
  return 0;
}
