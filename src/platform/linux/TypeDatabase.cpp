// The type database is the freedesktop shared-mime-info database, read through GIO's content
// types. Only the extension is handed over, behind a neutral stem, so that the database's own
// glob rules (case-insensitive for ordinary globs) decide alone.
#include "platform/Platform.h"

#include <gio/gio.h>

#include <memory>

namespace orvanta::platform {
namespace {

struct GFreeDeleter {
  void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

} // namespace

std::string MimeTypeForExtension(const std::string& extension) {
  // A NUL would cut the name short and look up another extension.
  if (extension.empty() || extension.find('\0') != std::string::npos)
    return std::string();
  const std::string fileName = "x." + extension;
  gboolean uncertain = FALSE;
  GText contentType(g_content_type_guess(fileName.c_str(), nullptr, 0, &uncertain));
  // Without a matching glob GIO answers its unknown type, flagged as uncertain. Several matching
  // globs are also uncertain, but then the first is the database's preferred one.
  if (!contentType || (uncertain && g_content_type_is_unknown(contentType.get())))
    return std::string();
  GText mimeType(g_content_type_get_mime_type(contentType.get()));
  if (!mimeType)
    return std::string();
  return std::string(mimeType.get());
}

} // namespace orvanta::platform
