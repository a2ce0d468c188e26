// Opening documents with their default application and launching an application
// with items. The platform layer finds and starts applications; here live the
// rules on paths, extensions and items.
#include "Utils.h"

#include "TextConvert.h"
#include "Utf8Path.h"
#include "platform/Platform.h"

#include <boost/filesystem/operations.hpp>

#include <optional>
#include <string_view>

namespace {

namespace fs = boost::filesystem;
using orvanta::text::UpToNul;
using orvanta::text::Utf8Path;

// Whether the bytes are well-formed UTF-8: the library's conversion keeps
// exactly those.
bool IsUtf8(std::string_view text) {
  return orvanta::text::WideToUtf8(orvanta::text::Utf8ToWide(text)) == text;
}

} // namespace

std::vector<std::string> GetExecuteCommand(std::wstring path) {
  const std::optional<std::string> utf8 = Utf8Path(path);
  if (!utf8)
    return {};
  const std::string& file = *utf8;
  std::string extension = fs::path(file).extension().string();
  if (!extension.empty() && extension.front() == '.')
    extension.erase(0, 1);
  const std::string application = orvanta::platform::DefaultApplicationForExtension(extension);
  if (application.empty() || !orvanta::platform::IsApplication(application))
    return {};
  return {application, file};
}

bool LaunchApplication(std::vector<std::string> command) {
  if (command.empty())
    return false;
  const std::string_view application = UpToNul(command.front());
  if (!IsUtf8(application) || !orvanta::platform::IsApplication(std::string(application)))
    return false;

  std::vector<std::string> uris;
  uris.reserve(command.size() - 1);
  for (auto element = command.begin() + 1; element != command.end(); ++element) {
    const std::string text(UpToNul(*element));
    // Throws filesystem_error when the status cannot be read; the caller gets
    // it.
    const fs::file_status status = fs::status(fs::path(text));
    // Text that is not UTF-8 makes no item, as does text that is neither a path
    // nor a URI.
    if (!IsUtf8(text))
      continue;
    const std::string uri = fs::exists(status)
                                ? orvanta::platform::FileUri(text, fs::is_directory(status))
                                : orvanta::platform::TextUri(text);
    if (!uri.empty())
      uris.push_back(uri);
  }
  return orvanta::platform::OpenWithApplication(std::string(application), uris);
}

bool ExecuteFile(std::wstring path, bool /*flag*/) {
  try {
    const std::optional<std::string> utf8 = Utf8Path(path);
    if (!utf8 || !fs::exists(fs::status(fs::path(*utf8))))
      return false;
    return LaunchApplication(GetExecuteCommand(path));
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

bool IsOpenAnotherProcess(std::wstring /*path*/) {
  return false;
}
