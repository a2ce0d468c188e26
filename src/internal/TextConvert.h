// The library's one conversion between UTF-8 (narrow) and code-point (wide) text. Invalid input
// is dropped exactly as Boost.Locale's utf_to_utf with its skip method drops it; the conversion
// never fails and never throws (except std::bad_alloc).
#ifndef ORVANTA_INTERNAL_TEXTCONVERT_H
#define ORVANTA_INTERNAL_TEXTCONVERT_H

#include <string>
#include <string_view>

namespace orvanta::text {

// Each well-formed UTF-8 sequence becomes one element; malformed or cut-off sequences vanish.
std::wstring Utf8ToWide(std::string_view utf8);
// Each valid code point in its shortest UTF-8 form; surrogates and values above U+10FFFF vanish.
std::string WideToUtf8(std::wstring_view wide);

// The text of a string up to its first NUL, as strlen / wcslen would measure it.
inline std::string_view UpToNul(const std::string& text) {
  return std::string_view(text.c_str());
}
inline std::wstring_view UpToNul(const std::wstring& text) {
  return std::wstring_view(text.c_str());
}

// The text of a string up to its first NUL, converted: the same as Utf8ToWide(UpToNul(text)) and
// WideToUtf8(UpToNul(text)), in one pass over a path-sized text.
std::wstring Utf8ToWideUpToNul(const std::string& text);
std::string WideToUtf8UpToNul(const std::wstring& text);

} // namespace orvanta::text

#endif // ORVANTA_INTERNAL_TEXTCONVERT_H
