#include "TextConvert.h"
#include "Utils.h"

#include <gtest/gtest.h>

namespace {

TEST(PathJoin, JoinRuleOnNarrowAndWidePieces) {
  const struct {
    const char* first;
    const char* second;
    const char* joined;
  } cases[] = {
      {"/Applications/ORVANTA-EX", "orvantaes.app", "/Applications/ORVANTA-EX/orvantaes.app"},
      {"/Applications/ORVANTA-EX/", "orvantaes.app", "/Applications/ORVANTA-EX/orvantaes.app"},
      {"/a/", "/b", "/a//b"},
      {"dir", "/tmp/x", "dir/tmp/x"},
      {"", "x", "x"},
      {"x", "", "x"},
      {"", "", ""},
      {"a\\", "b", "a\\/b"}, // a backslash is no separator when joining
      {"\xC3\xA9", "\xE2\x82\xAC", "\xC3\xA9/\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    const std::wstring wFirst = orvanta::text::Utf8ToWide(c.first);
    const std::wstring wSecond = orvanta::text::Utf8ToWide(c.second);
    const std::wstring wJoined = orvanta::text::Utf8ToWide(c.joined);
    SCOPED_TRACE(std::string(c.first) + " + " + c.second);
    EXPECT_EQ(AppendPathToString(std::string(c.first), std::string(c.second)), c.joined);
    EXPECT_EQ(AppendPath(std::string(c.first), std::string(c.second)), wJoined);
    EXPECT_EQ(AppendPath(wFirst, wSecond), wJoined);
    EXPECT_EQ(AppendPath(wFirst, std::string(c.second)), wJoined);
    EXPECT_EQ(AppendPath(std::string(c.first), wSecond), wJoined);
    EXPECT_EQ(AppendPathToString(wFirst, wSecond), c.joined);
    EXPECT_EQ(AppendPathToString(wFirst, std::string(c.second)), c.joined);
    EXPECT_EQ(AppendPathToString(std::string(c.first), wSecond), c.joined);
  }
}

TEST(PathJoin, ConversionStopsAtFirstNulButByteJoinKeepsIt) {
  const std::string withNul("ab\0cd", 5);
  EXPECT_EQ(AppendPathToString(withNul, std::string("x")), std::string("ab\0cd/x", 7));
  EXPECT_EQ(AppendPath(withNul, std::string("x")), L"ab");
  EXPECT_EQ(AppendPath(std::wstring(L"w"), withNul), L"w/ab");
}

TEST(PathJoin, InvalidSecondPieceStillGetsSeparator) {
  // The emptiness test sees the narrow bytes; the converted text is empty.
  EXPECT_EQ(AppendPath(std::wstring(L"dir"), std::string("\xC3\x28")), L"dir/");
  EXPECT_EQ(AppendPath(std::wstring(L"dir"), std::string("\xFF/x")), L"dir/x");
}

TEST(PathJoin, ExtractFilePath) {
  EXPECT_EQ(ExtractFilePath(L"C:\\dir/sub/file"), L"C:\\");
  EXPECT_EQ(ExtractFilePath(L"/usr/lib/x"), L"/usr/lib/");
  EXPECT_EQ(ExtractFilePath(L"file"), L"");
  EXPECT_EQ(ExtractFilePath(L"a\\b\\c"), L"a\\b\\");
  EXPECT_EQ(ExtractFilePath(L""), L"");
}

TEST(PathJoin, ConvertFilePath) {
  EXPECT_EQ(ConvertFilePath(L"C:\\a\\b\\\\c"), L"C:/a/b//c");
  EXPECT_EQ(ConvertFilePath(L"/already/fine"), L"/already/fine");
}

} // namespace
