#include "TextConvert.h"
#include "Utils.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <type_traits>

using orvanta::text::Utf8ToWide;

namespace {

// Releases a Core Foundation object when the scope ends.
struct CFReleaser {
  void operator()(const void* object) const {
    if (object != nullptr)
      CFRelease(object);
  }
};
template <class Ref> using CFHolder = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

// Every UTF-16 unit takes at most three UTF-8 bytes (a surrogate pair, two units, takes four).
CFIndex Utf8Capacity(CFStringRef string) {
  return CFStringGetLength(string) * 3 + 1;
}

// The string as UTF-8 through a buffer big enough for any text; false when it cannot be copied.
bool CopyOutUtf8(CFStringRef string, std::string& out) {
  if (string == nullptr)
    return false;
  const CFIndex capacity = Utf8Capacity(string);
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity)]);
  if (!CFStringGetCString(string, buffer.get(), capacity, kCFStringEncodingUTF8))
    return false;
  out.assign(buffer.get());
  return true;
}

} // namespace

std::string CFStringRefToUTF8(CFStringRef string) {
  std::string result;
  if (!CopyOutUtf8(string, result))
    result.clear();
  return result;
}

std::wstring CFStringRefToWide(CFStringRef string) {
  std::string bytes;
  if (!CopyOutUtf8(string, bytes))
    return std::wstring();
  return Utf8ToWide(bytes);
}

std::string NfdToNfc(std::string text) {
  CFHolder<CFStringRef> original(
      CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
  if (!original)
    return std::string();
  CFHolder<CFMutableStringRef> composed(
      CFStringCreateMutableCopy(kCFAllocatorDefault, 0, original.get()));
  if (!composed)
    return std::string();
  CFStringNormalize(composed.get(), kCFStringNormalizationFormC);
  // Sized for the composed text: it can take more UTF-8 bytes than the input had.
  std::string result;
  if (!CopyOutUtf8(composed.get(), result))
    result.clear();
  return result;
}

std::string GetHomeDir() {
  for (const char* name : {"HOME", "HOMEDRIVE", "HOMEPATH"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0')
      return value;
  }
  return std::string();
}

std::wstring GetUniversalName(std::wstring, std::wstring&, std::wstring&) {
  return std::wstring();
}

std::string MixString(std::string first, std::string second) {
  const size_t common = std::min(first.size(), second.size());
  std::string result;
  result.reserve(first.size() + second.size());
  for (size_t i = 0; i < common; ++i) {
    result.push_back(first[i]);
    result.push_back(second[i]);
  }
  result.append(first, common, std::string::npos);
  result.append(second, common, std::string::npos);
  return result;
}

std::vector<std::wstring> Split(std::wstring text, std::wstring delimiter) {
  std::vector<std::wstring> parts;
  // An empty delimiter would match at every position without moving on.
  if (delimiter.empty()) {
    parts.push_back(std::move(text));
    return parts;
  }
  size_t start = 0;
  for (size_t found; (found = text.find(delimiter, start)) != std::wstring::npos;
       start = found + delimiter.size())
    parts.push_back(text.substr(start, found - start));
  parts.push_back(text.substr(start));
  return parts;
}
