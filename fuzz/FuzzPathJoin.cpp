// Path joining through the UTF-8 / wide conversion: every converted result is valid text, never
// longer than its pieces allow, and valid UTF-8 comes back unchanged. The conversion itself drops
// exactly what Boost.Locale's utf_to_utf with its skip method drops, in both directions.
#include "FuzzCheck.h"
#include "TextConvert.h"
#include "Utils.h"

#include <boost/locale/encoding_utf.hpp>

#include <cstring>
#include <string>

namespace {

// Whether the bytes are well-formed UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    uint32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size())
      return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (next & 0x3F);
    }
    const uint32_t smallest = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

bool IsCodePoints(const std::wstring& text) {
  for (const wchar_t element : text) {
    const auto code = static_cast<uint32_t>(element);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
  }
  return true;
}

std::string Join(const std::string& first, const std::string& second) {
  if (first.empty())
    return second;
  if (second.empty())
    return first;
  const bool seam = first.back() == '/' || second.front() == '/';
  return first + (seam ? "" : "/") + second;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxFuzzInput)
    return 0;
  // The first byte says where the two pieces part.
  const std::size_t cut = 1 + data[0] % size;
  const std::string first(reinterpret_cast<const char*>(data) + 1, cut - 1);
  const std::string second(reinterpret_cast<const char*>(data) + cut, size - cut);

  const std::string joined = AppendPathToString(first, second);
  FUZZ_CHECK(joined == Join(first, second)); // bytes, NULs and all, converted nowhere
  const std::string upToNul = std::string(orvanta::text::UpToNul(joined));

  namespace conv = boost::locale::conv;
  const std::wstring wide = AppendPath(first, second);
  FUZZ_CHECK(wide == conv::utf_to_utf<wchar_t>(upToNul, conv::skip));
  FUZZ_CHECK(IsCodePoints(wide));
  FUZZ_CHECK(wide.size() <= upToNul.size());

  // Back to UTF-8 through the wide-piece overloads: valid, and unchanged when it was valid.
  const std::string back = AppendPathToString(std::wstring(), wide);
  FUZZ_CHECK(IsUtf8(back));
  FUZZ_CHECK(back.size() <= upToNul.size());
  if (IsUtf8(upToNul))
    FUZZ_CHECK(back == upToNul);

  // A wide first piece of arbitrary elements stays as it is; only the narrow piece converts.
  std::wstring elements;
  for (std::size_t i = 0; i + sizeof(wchar_t) <= first.size(); i += sizeof(wchar_t)) {
    wchar_t element;
    std::memcpy(&element, first.data() + i, sizeof element);
    elements += element;
  }
  const std::wstring mixed = AppendPath(elements, second);
  const std::wstring converted = orvanta::text::Utf8ToWide(orvanta::text::UpToNul(second));
  FUZZ_CHECK(mixed.size() <= elements.size() + 1 + converted.size());
  FUZZ_CHECK(mixed.size() >= converted.size());
  FUZZ_CHECK(mixed.compare(mixed.size() - converted.size(), converted.size(), converted) == 0);
  FUZZ_CHECK(IsCodePoints(converted));
  const std::string narrow = AppendPathToString(elements, second);
  FUZZ_CHECK(narrow ==
             conv::utf_to_utf<char>(std::wstring(orvanta::text::UpToNul(mixed)), conv::skip));
  FUZZ_CHECK(IsUtf8(narrow));
  FUZZ_CHECK(narrow.size() <= 4 * mixed.size());

  const auto* bytes = reinterpret_cast<const char*>(data);
  FUZZ_CHECK(orvanta::text::Utf8ToWide(std::string_view(bytes, size)) ==
             conv::utf_to_utf<wchar_t>(bytes, bytes + size, conv::skip));
  FUZZ_CHECK(orvanta::text::WideToUtf8(elements) == conv::utf_to_utf<char>(elements, conv::skip));
  return 0;
}
