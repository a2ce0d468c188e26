#include "Utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

CFStringRef Make(const char* utf8) {
  return CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8);
}

// Only well-formed UTF-8 makes a string.
TEST(CoreFoundationStrings, CreateAcceptsOnlyWellFormedUtf8) {
  const char* refused[] = {
      "\xC3",             // cut off
      "\xC3(",            // bad continuation
      "\xC0\xAF",         // overlong
      "\xE0\x80\xAF",     // overlong
      "\xED\xA0\x80",     // surrogate
      "\xF4\x90\x80\x80", // above U+10FFFF
      "\xFF",
      "ok\x80",
  };
  for (const char* bytes : refused)
    EXPECT_EQ(Make(bytes), nullptr) << bytes;
  EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, nullptr, kCFStringEncodingUTF8),
            nullptr);
}

// Length counts UTF-16 units; copy-out needs room for every UTF-8 byte and the terminator.
TEST(CoreFoundationStrings, LengthAndCopyOut) {
  const char* text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"; // a, U+00E9, U+4E2D, U+1F600
  CFStringRef string = Make(text);
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(CFStringGetLength(string), 5);

  const CFIndex needed = static_cast<CFIndex>(std::strlen(text)) + 1;
  char buffer[32];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_FALSE(CFStringGetCString(string, buffer, needed - 1, kCFStringEncodingUTF8));
  EXPECT_FALSE(CFStringGetCString(string, buffer, sizeof buffer, 0)); // not UTF-8
  ASSERT_TRUE(CFStringGetCString(string, buffer, needed, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, text);
  CFRelease(string);

  CFStringRef empty = Make("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(CFStringGetLength(empty), 0);
  ASSERT_TRUE(CFStringGetCString(empty, buffer, 1, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "");
  CFRelease(empty);
}

// Normalising a mutable copy leaves the original as it was.
TEST(CoreFoundationStrings, NormalizeWorksOnTheCopy) {
  CFStringRef decomposed = Make("e\xCC\x81");
  CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, decomposed);
  ASSERT_NE(copy, nullptr);
  CFStringNormalize(copy, kCFStringNormalizationFormC);
  EXPECT_EQ(CFStringGetLength(copy), 1);
  EXPECT_EQ(CFStringGetLength(decomposed), 2);
  CFStringNormalize(copy, kCFStringNormalizationFormD);
  EXPECT_EQ(CFStringCompare(copy, decomposed, 0), kCFCompareEqualTo);
  CFRelease(copy);
  CFRelease(decomposed);
}

TEST(CoreFoundationStrings, CompareIsLiteral) {
  struct Case {
    const char *first, *second;
    CFComparisonResult expected;
  } cases[] = {
      {"orvantaes", "orvantaes", kCFCompareEqualTo},
      {"orvantaes", "orvantaet", kCFCompareLessThan},
      {"orvantaes", "orvanta", kCFCompareGreaterThan},
      {"Orvantaes", "orvantaes", kCFCompareLessThan},   // no case folding
      {"\xC3\xA9", "e\xCC\x81", kCFCompareGreaterThan}, // no normalisation
  };
  for (const Case& c : cases) {
    CFStringRef first = Make(c.first), second = Make(c.second);
    EXPECT_EQ(CFStringCompare(first, second, 0), c.expected) << c.first << " " << c.second;
    CFRelease(first);
    CFRelease(second);
  }
}

// CFSTR makes one object per text that lives for the whole program.
TEST(CoreFoundationStrings, ConstantsAreSharedAndSurviveRelease) {
  CFStringRef first = CFSTR("orvantaes");
  CFRelease(first);
  EXPECT_EQ(CFSTR("orvantaes"), first);
  EXPECT_NE(CFSTR("orvantaet"), first);
  EXPECT_EQ(CFStringGetLength(first), 9);
  CFStringRef made = Make("orvantaes");
  EXPECT_EQ(CFStringCompare(first, made, 0), kCFCompareEqualTo);
  CFRelease(made);
}

} // namespace
