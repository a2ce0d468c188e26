// The narrow form of a wide path, as the file system sees it.
//
// Where a path is cut at its first NUL, and why: the system calls stop reading a path at the first
// NUL byte anyway, and a path that kept the rest would name one file to the system and another to
// Boost.Filesystem, which builds further paths (a probe file's name, a walk's entries) from the
// whole text. So every function that hands a path to the file system uses only the text before
// the first NUL, narrow or wide alike:
//   COrvantaFile::Open and its path constructors (and the stored path of the narrow Open);
//   GetFileTimes, GetFileCount, IsReadable, IsWritable;
//   GetFileSignature, IsImageFile, IsPdf;
//   GetExecuteCommand, ExecuteFile, and every element of LaunchApplication's command;
//   AppendPath and AppendPathToString, wherever they convert a part between narrow and wide.
// GetMimeType is the exception: it reads only the name, never the file, and its wide variant
// answers exactly as the narrow one does for the same text, so it converts the whole string.
//
// Why a wide path is refused rather than converted when an element before that NUL is no Unicode
// scalar value (a surrogate D800-DFFF, a value above 10FFFF, a negative one): the text conversion
// drops such elements, so L"a\xD800.pdf" would become "a.pdf", another file, and the caller would
// get that file's answer. The functions that touch the file system answer negatively instead
// (false, empty, an unchanged count); the pure text functions (AppendPath, AppendPathToString,
// the conversions themselves, GetMimeType) keep the dropping rule.
#ifndef ORVANTA_INTERNAL_UTF8PATH_H
#define ORVANTA_INTERNAL_UTF8PATH_H

#include "TextConvert.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::text {

// Whether every element is a Unicode scalar value: 0 to 10FFFF outside the surrogates.
inline bool IsScalarText(std::wstring_view text) {
  // Without an early exit the loop vectorises; paths are short and almost always valid.
  bool invalid = false;
  for (const wchar_t element : text) {
    const auto value = static_cast<std::uint32_t>(element);
    invalid |= (value - 0xD800u < 0x800u) | (value > 0x10FFFFu);
  }
  return !invalid;
}

// The UTF-8 text of a wide path up to its first NUL, through the library's one conversion;
// nothing when that text holds an element that is no scalar value (see above).
inline std::optional<std::string> Utf8Path(const std::wstring& path) {
  const std::wstring_view text = UpToNul(path);
  if (!IsScalarText(text))
    return std::nullopt;
  return WideToUtf8(text);
}

} // namespace orvanta::text

#endif // ORVANTA_INTERNAL_UTF8PATH_H
