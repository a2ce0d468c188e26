#include "TextConvert.h"

#include <boost/locale/utf.hpp>

namespace orvanta::text {

namespace utf = boost::locale::utf;

std::wstring Utf8ToWide(std::string_view utf8) {
  // One element per input byte is the most the result can need.
  std::wstring result(utf8.size(), L'\0');
  wchar_t* out = result.data();
  const char* in = utf8.data();
  const char* const end = in + utf8.size();
  while (in != end) {
    const auto lead = static_cast<unsigned char>(*in);
    if (lead < 0x80) { // ASCII needs no decoder
      *out++ = static_cast<wchar_t>(lead);
      ++in;
      continue;
    }
    // Boost's own decoder, so that what is dropped matches its skip method byte for byte.
    const utf::code_point c = utf::utf_traits<char>::decode(in, end);
    if (c != utf::illegal && c != utf::incomplete)
      *out++ = static_cast<wchar_t>(c);
  }
  result.resize(static_cast<size_t>(out - result.data()));
  return result;
}

std::string WideToUtf8(std::wstring_view wide) {
  std::string result(wide.size() * 4, '\0');
  char* out = result.data();
  for (const wchar_t element : wide) {
    const auto c = static_cast<utf::code_point>(element);
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (utf::is_valid_codepoint(c)) {
      out = utf::utf_traits<char>::encode(c, out);
    }
  }
  result.resize(static_cast<size_t>(out - result.data()));
  return result;
}

} // namespace orvanta::text
