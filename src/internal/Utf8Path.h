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
#ifndef ORVANTA_INTERNAL_UTF8PATH_H
#define ORVANTA_INTERNAL_UTF8PATH_H

#include "TextConvert.h"

#include <string>

namespace orvanta::text {

// The UTF-8 text of a wide path up to its first NUL, through the library's one conversion.
inline std::string Utf8Path(const std::wstring& path) {
  return WideToUtf8(UpToNul(path));
}

} // namespace orvanta::text

#endif // ORVANTA_INTERNAL_UTF8PATH_H
