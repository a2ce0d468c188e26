// The subset of Core Foundation strings that the library and its callers use, for platforms that
// lack the framework. Names, types and ownership follow Core Foundation: objects from a Create or
// Copy function belong to the caller and are released with CFRelease; CFSTR constants live for the
// whole program and CFRelease leaves them alone. Text is held as UTF-16, as Core Foundation does.
#ifndef ORVANTA_PLATFORM_COREFOUNDATION_H
#define ORVANTA_PLATFORM_COREFOUNDATION_H

#include <cstdint>

#include <orvanta/UtilsExport.h>

extern "C" {

typedef unsigned char Boolean;
typedef long CFIndex;
typedef uint32_t CFStringEncoding;
typedef unsigned long CFOptionFlags;
typedef CFOptionFlags CFStringCompareFlags;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;

typedef enum {
  kCFCompareLessThan = -1,
  kCFCompareEqualTo = 0,
  kCFCompareGreaterThan = 1
} CFComparisonResult;

typedef enum {
  kCFStringNormalizationFormD = 0,
  kCFStringNormalizationFormKD = 1,
  kCFStringNormalizationFormC = 2,
  kCFStringNormalizationFormKC = 3
} CFStringNormalizationForm;

enum { kCFStringEncodingUTF8 = 0x08000100 };

extern ORVANTA_UTILS_API const CFAllocatorRef kCFAllocatorDefault;

// A string made of the NUL-terminated bytes in the given encoding (UTF-8 only); NULL when the
// bytes are not valid in that encoding.
ORVANTA_UTILS_API CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                        CFStringEncoding encoding);
// Length in UTF-16 code units.
ORVANTA_UTILS_API CFIndex CFStringGetLength(CFStringRef theString);
// Copies the text, NUL-terminated, into buffer; false when it does not fit in bufferSize bytes
// (terminator included) or the encoding is not supported.
ORVANTA_UTILS_API Boolean CFStringGetCString(CFStringRef theString, char* buffer,
                                             CFIndex bufferSize, CFStringEncoding encoding);
// A mutable copy; maxLength 0 means no limit.
ORVANTA_UTILS_API CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc,
                                                               CFIndex maxLength,
                                                               CFStringRef theString);
ORVANTA_UTILS_API void CFStringNormalize(CFMutableStringRef theString,
                                         CFStringNormalizationForm theForm);
// Literal comparison of UTF-16 code units when no flags are given.
ORVANTA_UTILS_API CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                                     CFStringCompareFlags compareOptions);
ORVANTA_UTILS_API void CFRelease(CFTypeRef cf);

// The constant string behind CFSTR: made once per distinct text, never freed.
ORVANTA_UTILS_API CFStringRef __CFStringMakeConstantString(const char* cStr);

} // extern "C"

#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

#endif // ORVANTA_PLATFORM_COREFOUNDATION_H
