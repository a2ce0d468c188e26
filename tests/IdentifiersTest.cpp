#include "TextConvert.h"
#include "Utils.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The textual form of a random UUID: 8-4-4-4-12 lower-case hex digits, version 4, RFC 4122
// variant.
::testing::AssertionResult IsRandomUuidText(const std::string& text) {
  if (text.size() != 36)
    return ::testing::AssertionFailure() << '"' << text << "\" is not 36 characters long";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool ok = dash ? c == '-' : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!ok)
      return ::testing::AssertionFailure() << '"' << text << "\" has '" << c << "' at " << i;
  }
  if (text[14] != '4')
    return ::testing::AssertionFailure() << '"' << text << "\" is not version 4";
  if (std::string("89ab").find(text[19]) == std::string::npos)
    return ::testing::AssertionFailure() << '"' << text << "\" is not of the RFC 4122 variant";
  return ::testing::AssertionSuccess();
}

TEST(CreateUUIDString, GivesDistinctVersion4Texts) {
  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 2000; ++i) {
    const std::string uuid = CreateUUIDString();
    ASSERT_TRUE(IsRandomUuidText(uuid));
    EXPECT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    variants.insert(uuid[19]);
  }
  // Only the top two bits of byte 8 are fixed: all four variant digits turn up.
  EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

TEST(CreateUUIDWideString, GivesTheSameFormAsWideText) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 200; ++i) {
    const std::wstring uuid = CreateUUIDWideString();
    ASSERT_EQ(uuid.size(), 36u);
    const std::string narrow = orvanta::text::WideToUtf8(uuid);
    ASSERT_EQ(narrow.size(), 36u) << "only ASCII characters expected";
    ASSERT_TRUE(IsRandomUuidText(narrow));
    EXPECT_TRUE(seen.insert(uuid).second);
  }
}

} // namespace
