// The Core Foundation string subset over ICU: a string is a UTF-16 ICU string plus a flag for
// the program-lifetime constants that CFSTR makes.
#include "platform/CoreFoundation.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

struct __CFString {
  icu::UnicodeString text;
  bool constant = false;
};

const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace {

// Strict UTF-8 to UTF-16: false for any ill-formed sequence (overlong forms, surrogates, values
// above U+10FFFF, cut-off sequences), which Core Foundation refuses as well.
bool StrictFromUtf8(const char* bytes, icu::UnicodeString& out) {
  const int32_t length = static_cast<int32_t>(std::strlen(bytes));
  if (length == 0)
    return true;
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  u_strFromUTF8(nullptr, 0, &units, bytes, length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
    return false;
  status = U_ZERO_ERROR;
  UChar* buffer = out.getBuffer(units);
  if (buffer == nullptr)
    return false;
  u_strFromUTF8(buffer, units, &units, bytes, length, &status);
  out.releaseBuffer(U_SUCCESS(status) ? units : 0);
  return U_SUCCESS(status);
}

// The normalizer that Get returns, or null when ICU cannot make it. ICU makes each one once and
// keeps it (a failure too); holding it in a function-local static also shows ThreadSanitizer that
// hand-over between threads, which ICU's own uninstrumented atomics hide from it.
template <const icu::Normalizer2* (*Get)(UErrorCode&)> const icu::Normalizer2* Normalizer() {
  static const icu::Normalizer2* const normalizer = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* made = Get(status);
    return U_SUCCESS(status) ? made : nullptr;
  }();
  return normalizer;
}

} // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
  if (cStr == nullptr || encoding != kCFStringEncodingUTF8)
    return nullptr;
  if (std::strlen(cStr) > static_cast<size_t>(INT32_MAX))
    return nullptr;
  auto string = std::make_unique<__CFString>();
  if (!StrictFromUtf8(cStr, string->text))
    return nullptr;
  return string.release();
}

CFIndex CFStringGetLength(CFStringRef theString) {
  return theString == nullptr ? 0 : theString->text.length();
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  if (theString == nullptr || buffer == nullptr || bufferSize <= 0 ||
      encoding != kCFStringEncodingUTF8)
    return false;
  std::string utf8;
  theString->text.toUTF8String(utf8);
  if (static_cast<CFIndex>(utf8.size()) >= bufferSize)
    return false;
  std::memcpy(buffer, utf8.c_str(), utf8.size() + 1);
  return true;
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef theString) {
  if (theString == nullptr)
    return nullptr;
  auto copy = std::make_unique<__CFString>();
  copy->text = theString->text;
  return copy.release();
}

void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm) {
  if (theString == nullptr || theString->constant)
    return;
  const icu::Normalizer2* normalizer = nullptr;
  switch (theForm) {
  case kCFStringNormalizationFormD:
    normalizer = Normalizer<icu::Normalizer2::getNFDInstance>();
    break;
  case kCFStringNormalizationFormKD:
    normalizer = Normalizer<icu::Normalizer2::getNFKDInstance>();
    break;
  case kCFStringNormalizationFormC:
    normalizer = Normalizer<icu::Normalizer2::getNFCInstance>();
    break;
  case kCFStringNormalizationFormKC:
    normalizer = Normalizer<icu::Normalizer2::getNFKCInstance>();
    break;
  }
  if (normalizer == nullptr)
    return;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString normalized = normalizer->normalize(theString->text, status);
  if (U_SUCCESS(status))
    theString->text = std::move(normalized);
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags) {
  static const icu::UnicodeString empty;
  const icu::UnicodeString& first = theString1 ? theString1->text : empty;
  const icu::UnicodeString& second = theString2 ? theString2->text : empty;
  const int8_t order = first.compare(second);
  if (order < 0)
    return kCFCompareLessThan;
  return order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

void CFRelease(CFTypeRef cf) {
  auto* string = static_cast<const __CFString*>(cf);
  if (string == nullptr || string->constant)
    return;
  delete string;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  static std::mutex lock;
  // Never destroyed: constants must outlive every static object that might still use them.
  static auto* constants = new std::unordered_map<std::string, const __CFString*>();
  const std::lock_guard<std::mutex> guard(lock);
  auto found = constants->find(cStr);
  if (found != constants->end())
    return found->second;
  auto* string = new __CFString();
  string->text = icu::UnicodeString::fromUTF8(cStr);
  string->constant = true;
  constants->emplace(cStr, string);
  return string;
}
