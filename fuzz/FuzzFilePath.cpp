// ExtractFilePath and ConvertFilePath on arbitrary wide paths: the folder part is a prefix that
// ends at the right separator, and the conversion changes backslashes and nothing else.
#include "FuzzCheck.h"
#include "Utils.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > kMaxFuzzInput)
    return 0;
  const std::wstring path = FuzzBytesToWide(data, size);

  const std::wstring folder = ExtractFilePath(path);
  const std::size_t backslash = path.rfind(L'\\'), slash = path.rfind(L'/');
  const std::size_t expected = backslash != std::wstring::npos ? backslash + 1
                               : slash != std::wstring::npos   ? slash + 1
                                                               : 0;
  FUZZ_CHECK(folder.size() == expected);
  FUZZ_CHECK(path.compare(0, folder.size(), folder) == 0);

  const std::wstring converted = ConvertFilePath(path);
  FUZZ_CHECK(converted.size() == path.size());
  for (std::size_t i = 0; i < path.size(); ++i)
    FUZZ_CHECK(converted[i] == (path[i] == L'\\' ? L'/' : path[i]));
  // Without backslashes the folder part is the text up to the last "/".
  FUZZ_CHECK(ExtractFilePath(converted) ==
             converted.substr(
                 0, converted.rfind(L'/') == std::wstring::npos ? 0 : converted.rfind(L'/') + 1));
  return 0;
}
