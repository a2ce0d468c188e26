#include "TestSupport.h"
#include "Utils.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using orvanta::test::ScopedEnv;

namespace {

// Releases a Core Foundation string at the end of the scope.
struct OwnedCFString {
  explicit OwnedCFString(const char* utf8)
      : ref(CFStringCreateWithCString(kCFAllocatorDefault, utf8, kCFStringEncodingUTF8)) {}
  ~OwnedCFString() {
    if (ref != nullptr)
      CFRelease(ref);
  }
  OwnedCFString(const OwnedCFString&) = delete;
  OwnedCFString& operator=(const OwnedCFString&) = delete;
  CFStringRef ref;
};

// Text beyond Latin-1 takes more UTF-8 bytes than UTF-16 units; it must come out whole.
TEST(CFStringConversion, GivesUtf8AndWideText) {
  struct Case {
    const char* utf8;
    const wchar_t* wide;
  } cases[] = {
      {"", L""},
      {"application/pdf", L"application/pdf"},
      {"/Applications/Caf\xC3\xA9.app", L"/Applications/Caf\u00E9.app"},
      {"\xE4\xB8\xAD\xE6\x96\x87", L"\u4E2D\u6587"},
      {"\xF0\x9F\x98\x80 smile", L"\U0001F600 smile"},
  };
  for (const Case& c : cases) {
    OwnedCFString string(c.utf8);
    ASSERT_NE(string.ref, nullptr) << c.utf8;
    EXPECT_EQ(CFStringRefToUTF8(string.ref), c.utf8);
    EXPECT_EQ(CFStringRefToWide(string.ref), c.wide);
  }
  EXPECT_EQ(CFStringRefToUTF8(CFSTR("text/plain")), "text/plain");
}

TEST(NfdToNfc, ComposesText) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", ""},
      {"plain ASCII", "plain ASCII"},
      {"e\xCC\x81", "\xC3\xA9"}, // e + U+0301 -> U+00E9
      {"\xC3\xA9", "\xC3\xA9"},  // already composed
      {"Cafe\xCC\x81/A\xCC\x8A"
       "ngstro\xCC\x88m",
       "Caf\xC3\xA9/\xC3\x85ngstr\xC3\xB6m"},
      {"\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB", "\xED\x95\x9C"}, // Hangul jamo -> syllable
      // Composed forms that take more bytes than the input.
      {"\xE0\xA5\x98", "\xE0\xA4\x95\xE0\xA4\xBC"},             // U+0958 -> U+0915 U+093C
      {"\xCD\x84", "\xCC\x88\xCC\x81"},                         // U+0344 -> U+0308 U+0301
      {"\xF0\x9D\x85\x9E", "\xF0\x9D\x85\x97\xF0\x9D\x85\xA5"}, // U+1D15E -> U+1D157 U+1D165
      {std::string("a\xCC\x8A\0tail", 8), "\xC3\xA5"},          // up to the first NUL
      // Not UTF-8: no string can be made, the result is empty.
      {"abc\xC3(", ""},
      {"\xC0\x80", ""},
      {"\xED\xA0\x80", ""},
      {"\xFF", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NfdToNfc(c.input), c.expected) << c.input;
}

TEST(GetHomeDir, FirstNonEmptyOfHomeHomedriveHomepath) {
  using Env = std::optional<std::string>;
  struct Case {
    Env home, drive, path;
    std::string expected;
  } cases[] = {
      {"/home/u/", "C:", "\\Users\\u", "/home/u/"},
      {"", "C:", "\\Users\\u", "C:"},
      {std::nullopt, "", "\\Users\\u", "\\Users\\u"},
      {"", std::nullopt, "\\Users\\u", "\\Users\\u"},
      {"", "", "", ""},
      {std::nullopt, std::nullopt, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    ScopedEnv home("HOME", c.home), drive("HOMEDRIVE", c.drive), path("HOMEPATH", c.path);
    EXPECT_EQ(GetHomeDir(), c.expected);
  }
}

TEST(GetUniversalName, EmptyAndLeavesArgumentsAlone) {
  std::wstring first = L"one", second = L"two";
  EXPECT_EQ(GetUniversalName(L"/Volumes/share/x", first, second), L"");
  EXPECT_EQ(first, L"one");
  EXPECT_EQ(second, L"two");
}

TEST(MixString, InterleavesThenAppendsTheRest) {
  struct Case {
    std::string first, second, expected;
  } cases[] = {
      {"abc", "12345", "a1b2c345"},
      {"abcde", "12", "a1b2cde"},
      {"", "xyz", "xyz"},
      {"xyz", "", "xyz"},
      {"", "", ""},
      {"ab", "12", "a1b2"},
      {std::string("a\0", 2), "12",
       std::string("a1\0"
                   "2",
                   4)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MixString(c.first, c.second), c.expected) << c.first << " | " << c.second;
}

TEST(Split, CutsAtEveryWholeDelimiter) {
  using Parts = std::vector<std::wstring>;
  struct Case {
    std::wstring text, delimiter;
    Parts expected;
  } cases[] = {
      {L"a,,b,", L",", {L"a", L"", L"b", L""}},
      {L",a", L",", {L"", L"a"}},
      {L"one--two", L"--", {L"one", L"two"}},
      {L"one--two", L"-", {L"one", L"", L"two"}},
      {L"a---b", L"--", {L"a", L"-b"}}, // no overlapping matches
      {L"abc", L"x", {L"abc"}},
      {L"x", L"x", {L"", L""}},
      {L"", L",", {L""}},
      {L"a, b,c", L", ", {L"a", L"b,c"}}, // the whole delimiter, not a set of characters
      {L"A-a", L"a", {L"A-", L""}},       // exact, no case folding
      {L"\u00E9x\u00E9", L"x", {L"\u00E9", L"\u00E9"}},
      {L"a,b", L"", {L"a,b"}}, // an empty delimiter gives the whole text
      {L"", L"", {L""}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Split(c.text, c.delimiter), c.expected);
}

} // namespace
