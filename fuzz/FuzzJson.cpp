// Every JSON coercion on every value of trees parsed from the input (UTF-8 and wide value
// types), and on the raw input as one string value; the object text against RapidJSON's own
// writer; CopyJsonValue into another document that outlives the source.
#include "FuzzCheck.h"
#include "TextConvert.h"
#include "Utils.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

using Utf8Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, OrvantaJsonAllocator>;
using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator>;
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag;

bool SameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

bool HasDouble(const OrvantaJsonValue& value) {
  if (value.IsDouble())
    return true;
  if (value.IsObject())
    for (const auto& member : value.GetObject())
      if (HasDouble(member.value))
        return true;
  if (value.IsArray())
    for (const auto& element : value.GetArray())
      if (HasDouble(element))
        return true;
  return false;
}

// Whether a string of the tree holds an encoded surrogate (ED A0..BF): a lone "\\uDC00" escape
// comes out so, and RapidJSON asserts on it when it parses the same text into UTF-16.
bool HoldsSurrogate(const OrvantaJsonValue& value) {
  if (value.IsString()) {
    const std::string_view text(value.GetString(), value.GetStringLength());
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
      if (static_cast<unsigned char>(text[i]) == 0xED &&
          static_cast<unsigned char>(text[i + 1]) >= 0xA0)
        return true;
  }
  if (value.IsObject())
    for (const auto& member : value.GetObject())
      if (HoldsSurrogate(member.name) || HoldsSurrogate(member.value))
        return true;
  if (value.IsArray())
    for (const auto& element : value.GetArray())
      if (HoldsSurrogate(element))
        return true;
  return false;
}

// Both overloads read numbers, booleans and number texts alike: only ASCII counts in the text.
void CheckOverloadsAgree(const OrvantaJsonValue& narrow, const OrvantaJsonWValue& wide) {
  FUZZ_CHECK(JsonValueToInt(narrow, -7) == JsonValueToInt(wide, -7));
  FUZZ_CHECK(JsonValueToLong(narrow, -7) == JsonValueToLong(wide, -7));
  FUZZ_CHECK(JsonValueToIntmax_t(narrow, -7) == JsonValueToIntmax_t(wide, -7));
  FUZZ_CHECK(JsonValueToUIntmax_t(narrow, 7) == JsonValueToUIntmax_t(wide, 7));
  FUZZ_CHECK(SameFloat(JsonValueToFloat(narrow, -7.5f), JsonValueToFloat(wide, -7.5f)));
  for (const bool fallback : {false, true})
    FUZZ_CHECK(JsonValueToBool(narrow, fallback) == JsonValueToBool(wide, fallback));
}

void CheckText(const OrvantaJsonValue& narrow, const OrvantaJsonWValue& wide) {
  const std::string text = JsonValueToString(narrow, "default");
  const std::wstring wideText = JsonValueToWideString(wide, L"default");
  (void)JsonValueToString(wide, "default");
  (void)JsonValueToWideString(narrow, L"default");
  if (narrow.IsString()) {
    const std::string stored(narrow.GetString(), narrow.GetStringLength());
    FUZZ_CHECK(text == std::string(orvanta::text::UpToNul(stored)));
    FUZZ_CHECK(JsonValueToWideString(narrow) == orvanta::text::Utf8ToWide(text));
  }
  if (narrow.IsArray() || narrow.IsNull())
    FUZZ_CHECK(text == "default" && wideText == L"default");
  if (narrow.IsObject() && !HasDouble(narrow)) {
    // Without doubles the object text is RapidJSON's own compact text.
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    narrow.Accept(writer);
    FUZZ_CHECK(text == std::string(buffer.GetString(), buffer.GetSize()));
  }
}

// Walks both trees together; they came from the same text, so they have the same shape.
void Visit(const OrvantaJsonValue& narrow, const OrvantaJsonWValue& wide, int& budget) {
  if (--budget < 0)
    return;
  FUZZ_CHECK(narrow.GetType() == wide.GetType());
  CheckOverloadsAgree(narrow, wide);
  CheckText(narrow, wide);
  if (narrow.IsObject()) {
    FUZZ_CHECK(narrow.MemberCount() == wide.MemberCount());
    auto w = wide.MemberBegin();
    for (auto n = narrow.MemberBegin(); n != narrow.MemberEnd(); ++n, ++w) {
      Visit(n->name, w->name, budget);
      Visit(n->value, w->value, budget);
    }
  } else if (narrow.IsArray()) {
    FUZZ_CHECK(narrow.Size() == wide.Size());
    for (rapidjson::SizeType i = 0; i < narrow.Size(); ++i)
      Visit(narrow[i], wide[i], budget);
  }
}

// The copy as CopyJsonValue promises it: strings cut at their first NUL, all else equal.
bool SameAsCopied(const OrvantaJsonWValue& copy, const OrvantaJsonWValue& source) {
  if (source.IsString()) {
    const std::wstring stored(source.GetString(), source.GetStringLength());
    return copy.IsString() && std::wstring(copy.GetString(), copy.GetStringLength()) ==
                                  std::wstring(orvanta::text::UpToNul(stored));
  }
  if (source.IsObject()) {
    if (!copy.IsObject() || copy.MemberCount() != source.MemberCount())
      return false;
    auto c = copy.MemberBegin();
    for (auto s = source.MemberBegin(); s != source.MemberEnd(); ++s, ++c)
      if (!SameAsCopied(c->name, s->name) || !SameAsCopied(c->value, s->value))
        return false;
    return true;
  }
  if (source.IsArray()) {
    if (!copy.IsArray() || copy.Size() != source.Size())
      return false;
    for (rapidjson::SizeType i = 0; i < source.Size(); ++i)
      if (!SameAsCopied(copy[i], source[i]))
        return false;
    return true;
  }
  if (source.IsDouble())
    return copy.IsDouble() && (copy.GetDouble() == source.GetDouble() ||
                               (std::isnan(copy.GetDouble()) && std::isnan(source.GetDouble())));
  return copy == source;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > kMaxFuzzInput)
    return 0;
  const char* text = reinterpret_cast<const char*>(data);

  // The raw input as one string value of each type: the text parsers see everything.
  {
    const OrvantaJsonValue narrow(rapidjson::StringRef(text, size));
    const std::wstring elements = orvanta::text::Utf8ToWide(std::string_view(text, size));
    const OrvantaJsonWValue wide(rapidjson::StringRef(elements.data(), elements.size()));
    (void)JsonValueToInt(narrow), (void)JsonValueToLong(narrow), (void)JsonValueToIntmax_t(narrow);
    (void)JsonValueToUIntmax_t(narrow), (void)JsonValueToFloat(narrow),
        (void)JsonValueToBool(narrow);
    (void)JsonValueToInt(wide), (void)JsonValueToLong(wide), (void)JsonValueToIntmax_t(wide);
    (void)JsonValueToUIntmax_t(wide), (void)JsonValueToFloat(wide), (void)JsonValueToBool(wide);
    // Only ASCII decodes to the same elements in both.
    if (std::all_of(data, data + size, [](uint8_t byte) { return byte < 0x80; }))
      CheckOverloadsAgree(narrow, wide);
  }

  Utf8Document narrow;
  narrow.Parse<kParseFlags>(text, size);
  if (narrow.HasParseError())
    return 0;
  if (HoldsSurrogate(narrow)) {
    (void)JsonValueToString(narrow), (void)JsonValueToWideString(narrow);
    return 0;
  }
  auto wide = std::make_unique<WideDocument>();
  wide->Parse<kParseFlags, rapidjson::UTF8<char>>(text, size);
  if (wide->HasParseError())
    return 0;
  int budget = 2000;
  Visit(narrow, *wide, budget);

  // The copy lives in its own document and survives the source's pool being freed.
  WideDocument twin;
  twin.Parse<kParseFlags, rapidjson::UTF8<char>>(text, size);
  WideDocument target;
  OrvantaJsonWValue copy;
  CopyJsonValue(copy, *wide, target.GetAllocator());
  wide.reset();
  FUZZ_CHECK(SameAsCopied(copy, twin));
  (void)JsonValueToWideString(copy);
  return 0;
}
