#include "TextConvert.h"
#include "Utils.h"
#include "platform/Platform.h"

namespace {

const char kUnknownMimeType[] = "application/octet-stream";

} // namespace

std::string GetMimeType(std::string path) {
  const boost::filesystem::path name = boost::filesystem::path(path).filename();
  const std::string& nameText = name.native();
  // Hidden files are never looked up: ".profile" is a name, not an extension.
  if (!nameText.empty() && nameText != "." && nameText != ".." && nameText.front() == '.')
    return kUnknownMimeType;
  const std::string extension = name.extension().native();
  if (extension.empty())
    return kUnknownMimeType;
  // Only the last extension counts: "photo.tar.gz" is looked up as "gz".
  std::string type = orvanta::platform::MimeTypeForExtension(extension.substr(1));
  if (type.empty())
    return kUnknownMimeType;
  return type;
}

std::string GetMimeType(std::wstring path) {
  // The whole text, not cut at a NUL as paths for the file system are (see Utf8Path.h): only the
  // name is read, and the answer must be the narrow variant's for the same text.
  return GetMimeType(orvanta::text::WideToUtf8(path));
}
