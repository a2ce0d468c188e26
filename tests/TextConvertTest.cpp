#include "TextConvert.h"

#include <boost/locale/encoding_utf.hpp>
#include <gtest/gtest.h>

#include <random>

namespace {

using boost::locale::conv::utf_to_utf;
using orvanta::text::Utf8ToWide;
using orvanta::text::Utf8ToWideUpToNul;
using orvanta::text::WideToUtf8;
using orvanta::text::WideToUtf8UpToNul;

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

// Each multi-byte or faulty piece at every offset of a 32-unit block and at the very end (cut
// off there), in a short text, in a long one and across the edge of an output slice, so that the
// sixteen-unit blocks and the direct decoding meet it in every position.
TEST(TextConvert, MatchesBoostAtEveryOffsetAndEdge) {
  const std::string pieces[] = {"\xC3\xA9",
                                "\xE4\xB8\xAD",
                                "\xF0\x9F\x98\x80",
                                "\xF4\x8F\xBF\xBF", // valid
                                "\xC3",
                                "\xE4\xB8",
                                "\xF0\x9F\x98", // cut off
                                "\xC0\xAF",
                                "\xE0\x9F\xBF",
                                "\xF0\x8F\xBF\xBF", // overlong
                                "\xED\xA0\x80",
                                "\xED\xBF\xBF",
                                "\xF4\x90\x80\x80",
                                "\xF5\x80\x80\x80", // surrogates, too high
                                "\x80",
                                "\xBF\xBF",
                                "\xFF",
                                "\xE4(\xAD"};
  const wchar_t elements[] = {0x7F,     0x80,   0x7FF,  0x800,    0xFFFF, 0x10000,
                              0x10FFFF, 0xD800, 0xDFFF, 0x110000, -1};
  // Lengths of ASCII before the block: short texts, long ones, and one that ends near 4096.
  for (const size_t base : {size_t{0}, size_t{300}, size_t{4096 - 36}}) {
    for (size_t offset = 0; offset <= 36; ++offset) {
      for (const size_t tail : {0, 1, 2, 3, 17}) {
        for (const std::string& piece : pieces) {
          const std::string bytes =
              std::string(base + offset, 'a') + piece + std::string(tail, 'z');
          ASSERT_EQ(Utf8ToWide(bytes), utf_to_utf<wchar_t>(bytes, boost::locale::conv::skip))
              << "base " << base << ", offset " << offset << ", tail " << tail;
        }
        for (const wchar_t element : elements) {
          const std::wstring wide =
              std::wstring(base + offset, L'a') + element + std::wstring(tail, L'z');
          ASSERT_EQ(WideToUtf8(wide), utf_to_utf<char>(wide, boost::locale::conv::skip))
              << "base " << base << ", offset " << offset << ", tail " << tail;
        }
      }
    }
  }
}

// The conversions that end at the first NUL give Boost's result for the text before it, wherever
// the NUL stands: before, inside, between or after two multi-byte or faulty pieces at every
// offset of a short
// text (one block, the overlapping last block, unit by unit), and in a text too long to convert
// on the stack.
TEST(TextConvert, UpToNulMatchesBoostOnTheTextBeforeTheNul) {
  const std::string pieces[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xC3",
                                "\xE4\xB8", "\xF0\x9F\x98", "\xC0\xAF",         "\xED\xA0\x80",
                                "\x80",     "\xFF"};
  const wchar_t elements[] = {0x7F, 0x80, 0x7FF, 0xFFFF, 0x10000, 0xD800, 0x110000, -1};
  for (const size_t base : {size_t{0}, size_t{300}}) {
    for (size_t offset = 0; offset <= 34; ++offset) {
      for (const size_t tail : {0, 3, 17}) {
        for (const std::string& piece : pieces) {
          const std::string text =
              std::string(base + offset, 'a') + piece + piece + std::string(tail, 'z');
          ASSERT_EQ(Utf8ToWideUpToNul(text), utf_to_utf<wchar_t>(text, boost::locale::conv::skip));
          for (size_t nul = base; nul <= text.size(); ++nul) {
            std::string cut = text;
            cut.insert(nul, 1, '\0');
            ASSERT_EQ(Utf8ToWideUpToNul(cut),
                      utf_to_utf<wchar_t>(text.substr(0, nul), boost::locale::conv::skip))
                << "offset " << offset << ", tail " << tail << ", NUL at " << nul;
          }
        }
        for (const wchar_t element : elements) {
          const std::wstring text =
              std::wstring(base + offset, L'a') + element + element + std::wstring(tail, L'z');
          ASSERT_EQ(WideToUtf8UpToNul(text), utf_to_utf<char>(text, boost::locale::conv::skip));
          for (size_t nul = base; nul <= text.size(); ++nul) {
            std::wstring cut = text;
            cut.insert(nul, 1, L'\0');
            ASSERT_EQ(WideToUtf8UpToNul(cut),
                      utf_to_utf<char>(text.substr(0, nul), boost::locale::conv::skip))
                << "offset " << offset << ", tail " << tail << ", NUL at " << nul;
          }
        }
      }
    }
  }
}

} // namespace
