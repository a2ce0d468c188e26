// Split cuts at each leftmost, non-overlapping occurrence of the delimiter and nowhere else;
// MixString interleaves two byte strings without losing or reordering a byte.
#include "FuzzCheck.h"
#include "Utils.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxFuzzInput)
    return 0;
  // First byte: delimiter length (0 to 3). Then the delimiter, then the text; one element a byte,
  // so that matches are frequent.
  const std::size_t delimiterLength = std::min<std::size_t>(data[0] % 4, size - 1);
  const std::wstring delimiter(data + 1, data + 1 + delimiterLength);
  const std::wstring text(data + 1 + delimiterLength, data + size);

  const std::vector<std::wstring> parts = Split(text, delimiter);
  FUZZ_CHECK(!parts.empty());
  if (delimiter.empty()) {
    FUZZ_CHECK(parts.size() == 1 && parts[0] == text);
  } else {
    std::wstring joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      FUZZ_CHECK(parts[i].find(delimiter) == std::wstring::npos);
      // Leftmost: the delimiter after a part does not start inside the part.
      if (i + 1 < parts.size())
        FUZZ_CHECK((parts[i] + delimiter).find(delimiter) == parts[i].size());
      joined += (i > 0 ? delimiter : L"") + parts[i];
    }
    FUZZ_CHECK(joined == text);
  }

  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = data[0] % (size + 1);
  const std::string first = bytes.substr(0, cut), second = bytes.substr(cut);
  const std::string mixed = MixString(first, second);
  FUZZ_CHECK(mixed.size() == first.size() + second.size());
  const std::size_t common = std::min(first.size(), second.size());
  for (std::size_t i = 0; i < common; ++i)
    FUZZ_CHECK(mixed[2 * i] == first[i] && mixed[2 * i + 1] == second[i]);
  const std::string& longer = first.size() > second.size() ? first : second;
  FUZZ_CHECK(mixed.compare(2 * common, std::string::npos, longer, common) == 0);
  return 0;
}
