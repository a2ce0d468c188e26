#include "TextConvert.h"
#include "Utils.h"
#include "platform/Platform.h"

#include <string_view>

namespace {

const char kUnknownMimeType[] = "application/octet-stream";

// The extension of the path's file name without its dot, by Boost.Filesystem version 3's rules
// (worked out here, without building paths, since names are looked up often): the file name is
// the text after the last "/", or the whole path when it begins with "//" and has no other "/"
// (a network root name); a path ending in "/" names "." (or the root), an empty path nothing. The
// extension runs from the file name's last dot; "." and ".." have none. Hidden names such as
// ".profile" are names, not extensions: nothing is looked up for them.
std::string_view ExtensionOf(std::string_view path) {
  if (path.empty() || path.back() == '/')
    return std::string_view();
  const std::size_t slash = path.rfind('/');
  const bool rootName = slash == 1 && path.front() == '/';
  std::string_view name =
      slash == std::string_view::npos || rootName ? path : path.substr(slash + 1);
  // Boost makes the file name of its C string: a NUL ends it ("a.pdf\0.exe" is "a.pdf").
  name = name.substr(0, name.find('\0'));
  if (name.empty())
    return std::string_view();
  if (name.front() == '.') // also "." and "..", which have no extension
    return std::string_view();
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

} // namespace

std::string GetMimeType(std::string path) {
  // Only the last extension counts: "photo.tar.gz" is looked up as "gz".
  const std::string_view extension = ExtensionOf(path);
  if (extension.empty())
    return kUnknownMimeType;
  std::string type = orvanta::platform::MimeTypeForExtension(extension);
  if (type.empty())
    return kUnknownMimeType;
  return type;
}

std::string GetMimeType(std::wstring path) {
  // The whole text, not cut at a NUL as paths for the file system are (see Utf8Path.h): only the
  // name is read, and the answer must be the narrow variant's for the same text.
  return GetMimeType(orvanta::text::WideToUtf8(path));
}
