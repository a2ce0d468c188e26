#include "Utils.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace {

// Takes ownership of a malloc'd result and returns its text.
std::string Take(char* buffer) {
  std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
  EXPECT_NE(buffer, nullptr);
  return buffer != nullptr ? std::string(buffer) : std::string();
}
std::string Encode(const std::string& text) {
  return Take(URLEncode(text.c_str()));
}
std::string Decode(const std::string& text) {
  return Take(URLDecode(text.c_str()));
}

TEST(UrlEncoding, Counts) {
  struct Case {
    const char* text;
    int percents, escaped;
  } cases[] = {
      {"", 0, 0},       {"%41", 1, 1},      {"a b", 0, 1},
      {"%41%42", 2, 2}, {"AZaz09@.", 0, 0}, {"-_~+/ \x01\x7F\x80\xFF", 0, 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(numOfPercent(c.text), c.percents) << c.text;
    EXPECT_EQ(numOfEncodingChar(c.text), c.escaped) << c.text;
  }
}

TEST(UrlEncoding, EncodesEveryUnsafeByteAsUpperCaseHex) {
  struct Case {
    const char *text, *encoded;
  } cases[] = {
      {"", ""},
      {"a.b c", "a.b%20c"},
      {"x-y_z~", "x%2Dy%5Fz%7E"},
      {"@", "@"},
      {"\xC3\xA9", "%C3%A9"},
      {"AZaz09@.", "AZaz09@."},
      {"a+b/c?d=e&f%", "a%2Bb%2Fc%3Fd%3De%26f%25"},
      {"\x01\x0A\x7F\x80\xFF", "%01%0A%7F%80%FF"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Encode(c.text), c.encoded) << c.text;
}

TEST(UrlEncoding, DecodesEscapesAndDropsMalformedOnes) {
  struct Case {
    std::string text, decoded;
  } cases[] = {
      {"", ""},
      {"%41%62c", "Abc"},
      {"%c3%A9", "\xC3\xA9"},
      {"a+b", "a+b"},
      {"100%", "100"},
      {"%zz", "zz"},
      {"%4z", "z"},
      {"%4", ""},
      {"%%41", "A"},
      {"%4%41", "A"}, // the byte after a cut-off escape starts a new one
      {"%g1%", "g1"},
      {"a%00b", "a"}, // a decoded zero byte ends the C string
      {"no escapes at all", "no escapes at all"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Decode(c.text), c.decoded) << c.text;
}

TEST(UrlEncoding, DecodeUndoesEncode) {
  for (int byte = 1; byte < 256; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    const std::string encoded = Encode(text);
    EXPECT_EQ(encoded.size(), 1u + 2u * static_cast<unsigned>(numOfEncodingChar(text.c_str())));
    EXPECT_EQ(Decode(encoded), text) << byte;
  }
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> length(0, 300), byte(1, 255);
  for (int round = 0; round < 500; ++round) {
    std::string text(static_cast<size_t>(length(random)), '\0');
    for (char& c : text)
      c = static_cast<char>(byte(random));
    ASSERT_EQ(Decode(Encode(text)), text) << "round " << round;
  }
}

// The rules one byte at a time, to check the block-wise fast paths against.
std::string ReferenceEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '@' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}
std::string ReferenceDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      out += text[i++];
    } else if (i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 3;
      } else {
        i += 2;
      }
    } else {
      i += 1;
    }
  }
  return out.substr(0, out.find('\0'));
}

// Long texts cross the sixteen-byte blocks with escapes, malformed ones and "%" at every offset.
TEST(UrlEncoding, MatchesTheByteRulesAtEveryOffset) {
  std::mt19937 random(424242);
  const std::string alphabet = "%%%4Aaf0Gz.+ \xC3\xFF";
  std::uniform_int_distribution<size_t> length(0, 100), pick(0, alphabet.size() - 1);
  for (int round = 0; round < 2000; ++round) {
    std::string text(length(random), '\0');
    for (char& c : text)
      c = alphabet[pick(random)];
    ASSERT_EQ(Decode(text), ReferenceDecode(text)) << text;
    ASSERT_EQ(Encode(text), ReferenceEncode(text)) << text;
  }
}

TEST(UrlEncoding, NullTextGivesEmptyBuffer) {
  EXPECT_EQ(numOfPercent(nullptr), 0);
  EXPECT_EQ(numOfEncodingChar(nullptr), 0);
  EXPECT_EQ(Take(URLEncode(nullptr)), "");
  EXPECT_EQ(Take(URLDecode(nullptr)), "");
}

TEST(PostDataEncode, EscapesItsEightCharactersOnce) {
  struct Case {
    std::wstring text, encoded;
  } cases[] = {
      {L"", L""},
      {L"50% & more", L"50%25%20%26%20more"},
      {L"a=b", L"a=b"},
      {L" #$%&+@^", L"%20%23%24%25%26%2B%40%5E"},
      {L"%20", L"%2520"},
      {L"k=v?x/y:z-_~.!*", L"k=v?x/y:z-_~.!*"},
      {L"caf\u00E9 \U0001F600", L"caf\u00E9%20\U0001F600"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PostDataEncode(c.text), c.encoded);
}

} // namespace
