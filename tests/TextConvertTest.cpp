#include "TextConvert.h"

#include <boost/locale/encoding_utf.hpp>
#include <gtest/gtest.h>

#include <random>

namespace {

using boost::locale::conv::utf_to_utf;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

TEST(TextConvert, DropsMalformedUtf8LikeBoostSkip) {
  const struct {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"plain ascii", L"plain ascii"},
      {"\xC3\xA9t\xC3\xA9", L"\u00E9t\u00E9"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},
      {"\xC3\x28", L""},         // the fault shows at 0x28, which goes with it
      {"a\xC3", L"a"},           // cut off by the end
      {"\xE0\x80\x80x", L"x"},   // overlong form
      {"\xED\xA0\x80!", L"!"},   // an encoded surrogate
      {"\xF4\x90\x80\x80", L""}, // above U+10FFFF
      {"\x80\xBF"
       "ok",
       L"ok"}, // stray continuation bytes
      {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.utf8;
  }
}

TEST(TextConvert, DropsInvalidCodePointsWhenEncoding) {
  EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "");
  EXPECT_EQ(WideToUtf8(std::wstring(L"a") + static_cast<wchar_t>(0x110000) + L"b"), "ab");
  EXPECT_EQ(WideToUtf8(L"\u00E9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
}

// The conversion must agree with Boost.Locale's skip method on any input whatever.
TEST(TextConvert, MatchesBoostOnRandomInput) {
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> length(0, 64), byte(0, 255);
  std::uniform_int_distribution<uint32_t> element(0, 0x11FFFF);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(static_cast<size_t>(length(random)), '\0');
    for (char& b : bytes) // bias towards UTF-8 lead and continuation bytes
      b = static_cast<char>(round % 2 ? byte(random) : 0x80 + byte(random) % 0x78);
    ASSERT_EQ(Utf8ToWide(bytes), utf_to_utf<wchar_t>(bytes, boost::locale::conv::skip));

    std::wstring wide(static_cast<size_t>(length(random)), L'\0');
    for (wchar_t& w : wide)
      w = static_cast<wchar_t>(element(random));
    ASSERT_EQ(WideToUtf8(wide), utf_to_utf<char>(wide, boost::locale::conv::skip));
  }
}

// Long texts of ASCII runs, valid sequences and faults of every kind, so that the sixteen-unit
// ASCII path and the output slices meet faults and sequences at their edges.
TEST(TextConvert, MatchesBoostOnLongMixedInput) {
  std::mt19937 random(20261210);
  const std::string pieces[] = {"\xC3\xA9",     "\xE4\xB8\xAD",     "\xF0\x9F\x98\x80",
                                "\xC3",         "\xE4\xB8",         "\xF0\x9F\x98",
                                "\x80",         "\xC0\xAF",         "\xE0\x80\xAF",
                                "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                                "\xC3(",        "\xE4\xB8("};
  const wchar_t elements[] = {L'\u00E9',
                              L'\u4E2D',
                              static_cast<wchar_t>(0x1F600),
                              static_cast<wchar_t>(0xD800),
                              static_cast<wchar_t>(0x110000),
                              static_cast<wchar_t>(-1)};
  std::uniform_int_distribution<int> run(0, 40), total(0, 12000);
  for (int round = 0; round < 60; ++round) {
    std::string bytes;
    std::wstring wide;
    for (const int size = total(random); static_cast<int>(bytes.size()) < size;) {
      for (int n = run(random); n > 0; --n) {
        bytes += static_cast<char>('a' + n % 26);
        wide += static_cast<wchar_t>('a' + n % 26);
      }
      bytes += pieces[random() % std::size(pieces)];
      wide += elements[random() % std::size(elements)];
    }
    ASSERT_EQ(Utf8ToWide(bytes), utf_to_utf<wchar_t>(bytes, boost::locale::conv::skip));
    ASSERT_EQ(WideToUtf8(wide), utf_to_utf<char>(wide, boost::locale::conv::skip));
  }
}

} // namespace
