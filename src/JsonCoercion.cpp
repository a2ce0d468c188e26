// JSON value coercion: reading one RapidJSON value, of the UTF-8 or the wide
// value type, as a plain string, integer, float or bool with a caller's
// default, and deep-copying wide value trees.
#include "TextConvert.h"
#include "Utils.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <string_view>
#include <type_traits>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

namespace {

template <class Value> using CharOf = typename Value::Ch;
template <class Value> using TextOf = std::basic_string<CharOf<Value>>;
template <class Value> using TextViewOf = std::basic_string_view<CharOf<Value>>;

// A string value's text as a C string would read it: up to its first NUL. The
// scan never passes the stored length, so a value that refers to unterminated
// memory is read safely.
template <class Value> TextViewOf<Value> StringText(const Value& value) {
  const TextViewOf<Value> stored(value.GetString(), value.GetStringLength());
  return stored.substr(0, stored.find(CharOf<Value>()));
}

// Text into the result's encoding: copied where the encodings agree, else the
// library's conversion.
void AssignText(std::string& out, std::string_view text) {
  out.assign(text);
}
void AssignText(std::string& out, std::wstring_view text) {
  out = WideToUtf8(text);
}
void AssignText(std::wstring& out, std::string_view text) {
  out = Utf8ToWide(text);
}
void AssignText(std::wstring& out, std::wstring_view text) {
  out.assign(text);
}

// printf's text of a double in the given notation and precision, as the "C" locale writes it:
// std::to_chars formats exactly as printf does there, whatever LC_NUMERIC the calling program
// has set (a program that called setlocale(LC_ALL, "") would otherwise get a decimal comma, and
// invalid JSON). NaN and the infinities come out as "nan" and "inf", signed as printf signs them.
template <class Char>
std::basic_string<Char> DoubleText(double number, std::chars_format format, int precision) {
  // Room for the longest: the largest magnitude in fixed notation, 309 digits with a sign, a
  // point and 22 decimals.
  char text[400];
  const std::to_chars_result written =
      std::to_chars(text, text + sizeof text, number, format, precision);
  if (written.ec != std::errc())
    return {};
  return std::basic_string<Char>(text, written.ptr); // ASCII only
}

// RapidJSON's compact writer, except that a double is written as printf's
// "%.22f": fixed notation, 22 decimals, never an exponent; NaN and the
// infinities as the C library prints them. The text is written in full however
// long it is (about 330 characters for the largest doubles).
template <class Encoding>
class FixedDoubleWriter
    : public rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding, rapidjson::CrtAllocator>,
                               Encoding, Encoding, rapidjson::CrtAllocator,
                               rapidjson::kWriteNoFlags> {
  using Base =
      rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding, rapidjson::CrtAllocator>, Encoding,
                        Encoding, rapidjson::CrtAllocator, rapidjson::kWriteNoFlags>;
  using Ch = typename Encoding::Ch;

public:
  using Base::Base;

  // Hides Writer::Double; GenericValue::Accept calls it through the handler's
  // own type.
  bool Double(double number) {
    const std::basic_string<Ch> text = DoubleText<Ch>(number, std::chars_format::fixed, 22);
    if (text.empty())
      return false;
    return Base::RawValue(text.data(), text.size(), rapidjson::kNumberType);
  }
};

// Trees are walked with a stack of their open containers on the heap, never by recursion: a
// tree may be nested as deep as RapidJSON's iterative parser goes, far deeper than the machine
// stack would allow one call per level.
//
// One open container and the index of its next child.
template <class Value> struct OpenContainer {
  const Value* container;
  rapidjson::SizeType next;
};

// The next child of the innermost open container, closing (with close(container)) every container
// that has none left; with its name when it is an object's member. Null when the walk is over.
template <class Value, class Close>
const Value* NextChild(std::vector<OpenContainer<Value>>& open, const Value*& name, Close close) {
  while (!open.empty()) {
    OpenContainer<Value>& top = open.back();
    const Value& container = *top.container;
    if (container.IsObject() && top.next < container.MemberCount()) {
      const auto member = container.MemberBegin() + top.next++;
      name = &member->name;
      return &member->value;
    }
    if (container.IsArray() && top.next < container.Size()) {
      name = nullptr;
      return &container[top.next++];
    }
    open.pop_back();
    if (!close(container))
      return nullptr;
  }
  return nullptr;
}

// Hands the value to the handler exactly as GenericValue::Accept does (the same calls in the same
// order), without recursion; false as soon as a call fails.
template <class Value, class Handler> bool Feed(const Value& root, Handler& handler) {
  std::vector<OpenContainer<Value>> open;
  bool ok = true;
  const auto close = [&](const Value& container) {
    ok = container.IsObject() ? handler.EndObject(container.MemberCount())
                              : handler.EndArray(container.Size());
    return ok;
  };
  const Value* name = nullptr;
  for (const Value* value = &root; value != nullptr; value = NextChild(open, name, close)) {
    if (name != nullptr && !handler.Key(name->GetString(), name->GetStringLength(), false))
      return false;
    switch (value->GetType()) {
    case rapidjson::kNullType:
      ok = handler.Null();
      break;
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      ok = handler.Bool(value->IsTrue());
      break;
    case rapidjson::kObjectType:
      ok = handler.StartObject();
      open.push_back({value, 0});
      break;
    case rapidjson::kArrayType:
      ok = handler.StartArray();
      open.push_back({value, 0});
      break;
    case rapidjson::kStringType:
      ok = handler.String(value->GetString(), value->GetStringLength(), false);
      break;
    case rapidjson::kNumberType:
      ok = value->IsDouble()  ? handler.Double(value->GetDouble())
           : value->IsInt()   ? handler.Int(value->GetInt())
           : value->IsUint()  ? handler.Uint(value->GetUint())
           : value->IsInt64() ? handler.Int64(value->GetInt64())
                              : handler.Uint64(value->GetUint64());
      break;
    }
    if (!ok)
      return false;
  }
  return ok;
}

// The object's compact JSON text in the value type's own encoding; false if the
// writer failed.
template <class Value> bool ObjectJson(const Value& value, TextOf<Value>& json) {
  using Encoding = typename Value::EncodingType;
  rapidjson::GenericStringBuffer<Encoding, rapidjson::CrtAllocator> buffer;
  FixedDoubleWriter<Encoding> writer(buffer);
  if (!Feed(value, writer))
    return false;
  json.assign(buffer.GetString(), buffer.GetSize() / sizeof(CharOf<Value>));
  return true;
}

// The string coercions of both value types into either result type.
template <class Result, class Value> Result ToText(const Value& value, Result defaultValue) {
  using ResultChar = typename Result::value_type;
  try {
    Result result;
    if (value.IsString()) {
      AssignText(result, StringText(value));
    } else if (value.IsBool()) {
      const std::string_view word = value.IsTrue() ? "true" : "false";
      result.assign(word.begin(), word.end());
    } else if (value.IsObject()) {
      TextOf<Value> json;
      if (!ObjectJson(value, json))
        return defaultValue;
      AssignText(result, TextViewOf<Value>(json));
    } else if (value.IsDouble()) {
      // boost::lexical_cast's text ("%.*g", 17 digits), but in the classic locale always.
      result = DoubleText<ResultChar>(value.GetDouble(), std::chars_format::general, 17);
    } else if (value.IsUint64()) {
      result = boost::lexical_cast<std::basic_string<ResultChar>>(value.GetUint64());
    } else if (value.IsInt64()) {
      result = boost::lexical_cast<std::basic_string<ResultChar>>(value.GetInt64());
    } else {
      return defaultValue; // null, array
    }
    return result;
  } catch (const boost::bad_lexical_cast&) {
    return defaultValue;
  }
}

// The integer coercions. A number counts only when it is an integer within
// Integer's range (int, or the 64-bit signed or unsigned range); a double never
// counts, even when whole.
template <class Integer, class Value> Integer ToInteger(const Value& value, Integer defaultValue) {
  static_assert(std::is_same_v<Integer, int> || sizeof(Integer) == sizeof(int64_t));
  if (value.IsString()) {
    const TextViewOf<Value> text = StringText(value);
    try {
      return boost::lexical_cast<Integer>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
      return defaultValue;
    }
  }
  if constexpr (std::is_same_v<Integer, int>) {
    if (value.IsInt())
      return value.GetInt();
  } else if constexpr (std::is_signed_v<Integer>) {
    if (value.IsInt64())
      return value.GetInt64();
  } else {
    if (value.IsUint64())
      return value.GetUint64();
  }
  return defaultValue;
}

template <class Value> float ToFloat(const Value& value, float defaultValue) {
  if (value.IsString()) {
    const TextViewOf<Value> text = StringText(value);
    try {
      return boost::lexical_cast<float>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
      return defaultValue;
    }
  }
  if (value.IsDouble()) {
    // Out of float's range (infinities included) is a failed conversion, not an
    // infinity; a NaN stays a NaN.
    const double number = value.GetDouble();
    if (std::isnan(number) || (number >= -FLT_MAX && number <= FLT_MAX))
      return static_cast<float>(number);
    return defaultValue;
  }
  if (value.IsUint64())
    return static_cast<float>(value.GetUint64());
  if (value.IsInt64())
    return static_cast<float>(value.GetInt64());
  return defaultValue;
}

template <class Value> bool ToBool(const Value& value, bool defaultValue) {
  if (value.IsBool())
    return value.IsTrue();
  if (value.IsString()) {
    // Only the text "false", in any mix of ASCII case, is false.
    const TextViewOf<Value> text = StringText(value);
    constexpr std::string_view falseWord = "false";
    if (text.size() != falseWord.size())
      return true;
    for (size_t i = 0; i < text.size(); ++i) {
      CharOf<Value> c = text[i];
      if (c >= 'A' && c <= 'Z')
        c = static_cast<CharOf<Value>>(c - 'A' + 'a');
      if (c != static_cast<CharOf<Value>>(falseWord[i]))
        return true;
    }
    return false;
  }
  // Any number: nonzero is true, zero leaves the default. Integers beyond int
  // and doubles follow the same rule as int-sized ones.
  if (value.IsInt())
    return value.GetInt() != 0 ? true : defaultValue;
  if (value.IsDouble())
    return value.GetDouble() != 0.0 ? true : defaultValue;
  if (value.IsNumber())
    return true; // an integer beyond int's range is never zero
  return defaultValue;
}

// Makes destination a copy of a value that is no container, or an empty container of the
// source's kind: strings own their text (cut at the first NUL), numbers are held as the source
// holds them.
void CopyNode(OrvantaJsonWValue& destination, const OrvantaJsonWValue& source,
              OrvantaJsonAllocator& allocator) {
  switch (source.GetType()) {
  case rapidjson::kStringType: {
    const std::wstring_view text = StringText(source);
    destination.SetString(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator);
    break;
  }
  case rapidjson::kFalseType:
  case rapidjson::kTrueType:
    destination.SetBool(source.IsTrue());
    break;
  case rapidjson::kNumberType:
    if (source.IsDouble())
      destination.SetDouble(source.GetDouble());
    else if (source.IsUint64())
      destination.SetUint64(source.GetUint64());
    else
      destination.SetInt64(source.GetInt64());
    break;
  case rapidjson::kObjectType:
    destination.SetObject();
    break;
  case rapidjson::kArrayType:
    destination.SetArray();
    break;
  case rapidjson::kNullType:
    destination.SetNull();
    break;
  }
}

// The deep copy, without recursion. Each child is appended to its copied container as null first
// and then filled in place: the container's storage does not move while the child's own subtree
// is copied, since nothing else is appended to it until the walk comes back.
void CopyInto(OrvantaJsonWValue& destination, const OrvantaJsonWValue& source,
              OrvantaJsonAllocator& allocator) {
  std::vector<OpenContainer<OrvantaJsonWValue>> open;
  // The copies of the open containers, in step with open.
  std::vector<OrvantaJsonWValue*> copies;
  const auto close = [&](const OrvantaJsonWValue&) {
    copies.pop_back();
    return true;
  };
  OrvantaJsonWValue* to = &destination;
  const OrvantaJsonWValue* name = nullptr;
  for (const OrvantaJsonWValue* from = &source; from != nullptr;
       from = NextChild(open, name, close)) {
    if (!copies.empty()) {
      OrvantaJsonWValue& parent = *copies.back();
      if (name != nullptr) {
        OrvantaJsonWValue key;
        CopyNode(key, *name, allocator);
        OrvantaJsonWValue value;
        parent.AddMember(key, value, allocator);
        to = &(parent.MemberEnd() - 1)->value;
      } else {
        OrvantaJsonWValue element;
        parent.PushBack(element, allocator);
        to = &parent[parent.Size() - 1];
      }
    }
    CopyNode(*to, *from, allocator);
    if (from->IsObject() || from->IsArray()) {
      open.push_back({from, 0});
      copies.push_back(to);
    }
  }
}

} // namespace

std::string JsonValueToString(const OrvantaJsonValue& value, std::string defaultValue) {
  return ToText(value, std::move(defaultValue));
}
std::string JsonValueToString(const OrvantaJsonWValue& value, std::string defaultValue) {
  return ToText(value, std::move(defaultValue));
}
std::wstring JsonValueToWideString(const OrvantaJsonValue& value, std::wstring defaultValue) {
  return ToText(value, std::move(defaultValue));
}
std::wstring JsonValueToWideString(const OrvantaJsonWValue& value, std::wstring defaultValue) {
  return ToText(value, std::move(defaultValue));
}

int JsonValueToInt(const OrvantaJsonValue& value, int defaultValue) {
  return ToInteger(value, defaultValue);
}
int JsonValueToInt(const OrvantaJsonWValue& value, int defaultValue) {
  return ToInteger(value, defaultValue);
}
long JsonValueToLong(const OrvantaJsonValue& value, long defaultValue) {
  return ToInteger(value, defaultValue);
}
long JsonValueToLong(const OrvantaJsonWValue& value, long defaultValue) {
  return ToInteger(value, defaultValue);
}
intmax_t JsonValueToIntmax_t(const OrvantaJsonValue& value, intmax_t defaultValue) {
  return ToInteger(value, defaultValue);
}
intmax_t JsonValueToIntmax_t(const OrvantaJsonWValue& value, intmax_t defaultValue) {
  return ToInteger(value, defaultValue);
}
uintmax_t JsonValueToUIntmax_t(const OrvantaJsonValue& value, uintmax_t defaultValue) {
  return ToInteger(value, defaultValue);
}
uintmax_t JsonValueToUIntmax_t(const OrvantaJsonWValue& value, uintmax_t defaultValue) {
  return ToInteger(value, defaultValue);
}

float JsonValueToFloat(const OrvantaJsonValue& value, float defaultValue) {
  return ToFloat(value, defaultValue);
}
float JsonValueToFloat(const OrvantaJsonWValue& value, float defaultValue) {
  return ToFloat(value, defaultValue);
}

bool JsonValueToBool(const OrvantaJsonValue& value, bool defaultValue) {
  return ToBool(value, defaultValue);
}
bool JsonValueToBool(const OrvantaJsonWValue& value, bool defaultValue) {
  return ToBool(value, defaultValue);
}

void CopyJsonValue(OrvantaJsonWValue& destination, const OrvantaJsonWValue& source,
                   OrvantaJsonAllocator& allocator) {
  // Built aside first, so that copying a value onto itself or onto one of its
  // own parts reads the source whole before the destination is overwritten.
  OrvantaJsonWValue copy;
  CopyInto(copy, source, allocator);
  destination = copy;
}
