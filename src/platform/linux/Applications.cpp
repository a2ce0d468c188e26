// Applications are freedesktop desktop entries, resolved and started through
// GIO. The default application for an extension is the default entry
// (mimeapps.list, then the installed entries) for the MIME type that the type
// database gives the extension; launching hands the entry and the item URIs to
// GIO as one request, which starts the program and does not wait for it.
#include "platform/Platform.h"

#include "GLibOwners.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <memory>

namespace orvanta::platform {
namespace {

using DesktopEntry = glib::Ref<GDesktopAppInfo>;
using AppInfo = glib::Ref<GAppInfo>;
using GText = glib::Text;

// A desktop entry loaded from the file; null when the file is no loadable
// application entry. A NUL inside the path would name another file, so such a
// path loads nothing.
DesktopEntry LoadEntry(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos)
    return nullptr;
  return DesktopEntry(g_desktop_app_info_new_from_filename(path.c_str()));
}

} // namespace

std::string DefaultApplicationForExtension(const std::string& extension) {
  const std::string mimeType = MimeTypeForExtension(extension);
  if (mimeType.empty())
    return std::string();
  AppInfo application(g_app_info_get_default_for_type(mimeType.c_str(), FALSE));
  if (!application || !G_IS_DESKTOP_APP_INFO(application.get()))
    return std::string();
  const char* fileName = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(application.get()));
  return fileName != nullptr ? std::string(fileName) : std::string();
}

bool IsApplication(const std::string& applicationPath) {
  return LoadEntry(applicationPath) != nullptr;
}

std::string FileUri(const std::string& path, bool isDirectory) {
  if (path.empty() || path.find('\0') != std::string::npos)
    return std::string();
  GText absolute(g_canonicalize_filename(path.c_str(), nullptr));
  GText uri(g_filename_to_uri(absolute.get(), nullptr, nullptr));
  if (!uri)
    return std::string();
  std::string text(uri.get());
  if (isDirectory && text.back() != '/')
    text += '/';
  return text;
}

std::string TextUri(const std::string& text) {
  if (text.find('\0') != std::string::npos ||
      !g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr))
    return std::string();
  return text;
}

bool OpenWithApplication(const std::string& applicationPath, const std::vector<std::string>& uris) {
  const DesktopEntry entry = LoadEntry(applicationPath);
  if (!entry)
    return false;
  GList* items = nullptr;
  for (auto uri = uris.rbegin(); uri != uris.rend(); ++uri)
    items = g_list_prepend(items, const_cast<char*>(uri->c_str()));
  const glib::List itemsOwner(items);
  GError* error = nullptr;
  const gboolean launched = g_app_info_launch_uris(G_APP_INFO(entry.get()), items, nullptr, &error);
  if (error != nullptr)
    g_error_free(error);
  return launched != FALSE;
}

} // namespace orvanta::platform
