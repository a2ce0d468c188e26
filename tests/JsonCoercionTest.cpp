#include "TestSupport.h"
#include "Utils.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using rapidjson::SizeType;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A JSON value described once and built in either value type. Strings are ASCII (control
// characters and NUL included), so each byte stands for one element in the wide type too.
struct J {
  enum Kind { Null, False, True, Int, Uint, Double, Str, EmptyObject, Array } kind;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  std::string s;
  std::string label;
};
J Null() {
  return {J::Null, 0, 0, 0, "", "null"};
}
J False() {
  return {J::False, 0, 0, 0, "", "false"};
}
J True() {
  return {J::True, 0, 0, 0, "", "true"};
}
J Object() {
  return {J::EmptyObject, 0, 0, 0, "", "{}"};
}
J Array12() {
  return {J::Array, 0, 0, 0, "", "[1,2]"};
}
J Int(int64_t i) {
  return {J::Int, i, 0, 0, "", "int " + std::to_string(i)};
}
J Uint(uint64_t u) {
  return {J::Uint, 0, u, 0, "", "uint " + std::to_string(u)};
}
J Dbl(double d) {
  return {J::Double, 0, 0, d, "", "double " + std::to_string(d)};
}
J Str(std::string s) {
  return {J::Str, 0, 0, 0, s, "string '" + s + "'"};
}

template <class Ch> std::basic_string<Ch> Widen(const std::string& ascii) {
  return std::basic_string<Ch>(ascii.begin(), ascii.end());
}

template <class Value> Value Text(const std::string& ascii, OrvantaJsonAllocator& allocator) {
  const auto text = Widen<typename Value::Ch>(ascii);
  Value value;
  value.SetString(text.data(), static_cast<SizeType>(text.size()), allocator);
  return value;
}

template <class Value> Value Build(const J& j, OrvantaJsonAllocator& allocator) {
  Value value;
  switch (j.kind) {
  case J::Null:
    break;
  case J::False:
    value.SetBool(false);
    break;
  case J::True:
    value.SetBool(true);
    break;
  case J::Int:
    value.SetInt64(j.i);
    break;
  case J::Uint:
    value.SetUint64(j.u);
    break;
  case J::Double:
    value.SetDouble(j.d);
    break;
  case J::Str:
    value = Text<Value>(j.s, allocator);
    break;
  case J::EmptyObject:
    value.SetObject();
    break;
  case J::Array:
    value.SetArray();
    value.PushBack(1, allocator).PushBack(2, allocator);
    break;
  }
  return value;
}

// A value made of x; a value given as x is moved from, as RapidJSON's own AddMember does.
template <class Value, class T> Value ToValue(T&& x) {
  if constexpr (std::is_base_of_v<Value, std::decay_t<T>>) {
    Value value;
    value = x;
    return value;
  } else {
    return Value(std::forward<T>(x));
  }
}

// Appends one member to an object of either value type (or a document).
template <class Object, class Name, class Member>
void Add(Object& object, Name&& name, Member&& member, OrvantaJsonAllocator& allocator) {
  using Value = rapidjson::GenericValue<typename Object::EncodingType, OrvantaJsonAllocator>;
  Value n = ToValue<Value>(std::forward<Name>(name));
  Value v = ToValue<Value>(std::forward<Member>(member));
  object.AddMember(n, v, allocator);
}

template <class Value> class JsonCoercion : public ::testing::Test {
protected:
  Value Make(const J& j) { return Build<Value>(j, allocator_); }
  Value Str(const std::string& ascii) { return Text<Value>(ascii, allocator_); }
  OrvantaJsonAllocator& allocator() { return allocator_; }

private:
  OrvantaJsonAllocator allocator_;
};

struct ValueTypeNames {
  template <class T> static std::string GetName(int) {
    return std::is_same_v<T, OrvantaJsonValue> ? "Utf8" : "Wide";
  }
};
using ValueTypes = ::testing::Types<OrvantaJsonValue, OrvantaJsonWValue>;
TYPED_TEST_SUITE(JsonCoercion, ValueTypes, ValueTypeNames);

// Both string coercions of every JSON kind and number range; nullopt means the default.
TYPED_TEST(JsonCoercion, TextOfEveryKind) {
  const struct {
    J value;
    std::optional<std::string> text;
  } cases[] = {
      {Null(), std::nullopt},
      {Array12(), std::nullopt},
      {False(), "false"},
      {True(), "true"},
      {Object(), "{}"},
      {Str("abc"), "abc"},
      {Str(""), ""},
      {Str(std::string("ab\0cd", 5)), "ab"}, // read as a C string
      {Str("\"q\"\n"), "\"q\"\n"},           // no quotes added, nothing escaped
      {Int(0), "0"},
      {Int(-1), "-1"},
      {Int(INT_MAX), "2147483647"},
      {Int(INT_MIN), "-2147483648"},
      {Int(2147483648LL), "2147483648"},
      {Int(-2147483649LL), "-2147483649"},
      {Int(INT64_MAX), "9223372036854775807"},
      {Int(INT64_MIN), "-9223372036854775808"},
      {Uint(9223372036854775808ULL), "9223372036854775808"},
      {Uint(UINT64_MAX), "18446744073709551615"},
      {Dbl(1.0), "1"},
      {Dbl(3.0), "3"},
      {Dbl(1.5), "1.5"},
      {Dbl(0.1), "0.10000000000000001"},
      {Dbl(1e21), "1e+21"},
      {Dbl(1e-5), "1.0000000000000001e-05"},
      {Dbl(-0.0), "-0"},
      {Dbl(kNaN), "nan"},
      {Dbl(-kNaN), "-nan"},
      {Dbl(kInf), "inf"},
      {Dbl(-kInf), "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.label);
    const TypeParam value = this->Make(c.value);
    const std::string narrow = c.text.value_or("default");
    EXPECT_EQ(JsonValueToString(value, "default"), narrow);
    EXPECT_EQ(JsonValueToWideString(value, L"default"), Widen<wchar_t>(narrow));
  }
  // Without an explicit default, the default is empty.
  EXPECT_EQ(JsonValueToString(this->Make(Null())), "");
  EXPECT_EQ(JsonValueToWideString(this->Make(Array12())), L"");
}

// The four integer coercions over JSON kinds, range boundaries and the lexical_cast text rules.
TYPED_TEST(JsonCoercion, IntegersOfEveryKindAndRange) {
  const int intDefault = -77;
  const long longDefault = -77;
  const uintmax_t unsignedDefault = 77;
  const struct {
    J value;
    std::optional<int> asInt;
    std::optional<long> asLong;
    std::optional<uintmax_t> asUnsigned;
  } cases[] = {
      {Null(), {}, {}, {}},
      {False(), {}, {}, {}},
      {True(), {}, {}, {}},
      {Object(), {}, {}, {}},
      {Array12(), {}, {}, {}},
      // numbers across the four integer ranges; doubles never count, even when whole
      {Int(0), 0, 0L, 0u},
      {Int(5), 5, 5L, 5u},
      {Int(INT_MAX), INT_MAX, long{INT_MAX}, uintmax_t{INT_MAX}},
      {Int(-1), -1, -1L, {}},
      {Int(INT_MIN), INT_MIN, long{INT_MIN}, {}},
      {Int(2147483648LL), {}, 2147483648L, 2147483648u},
      {Int(INT64_MAX), {}, INT64_MAX, uintmax_t{INT64_MAX}},
      {Int(-2147483649LL), {}, -2147483649L, {}},
      {Int(INT64_MIN), {}, INT64_MIN, {}},
      {Uint(9223372036854775808ULL), {}, {}, 9223372036854775808ULL},
      {Uint(UINT64_MAX), {}, {}, UINT64_MAX},
      {Dbl(3.0), {}, {}, {}},
      {Dbl(0.0), {}, {}, {}},
      {Dbl(-1.0), {}, {}, {}},
      // texts
      {Str("+12"), 12, 12L, 12u},
      {Str("007"), 7, 7L, 7u},
      {Str("-0"), 0, 0L, 0u},
      {Str("-1"), -1, -1L, UINT64_MAX}, // negated modulo 2^64, as lexical_cast does
      {Str("2147483647"), INT_MAX, long{INT_MAX}, uintmax_t{INT_MAX}},
      {Str("2147483648"), {}, 2147483648L, 2147483648u},
      {Str("-2147483648"), INT_MIN, long{INT_MIN}, uintmax_t{0} - 2147483648u},
      {Str("-2147483649"), {}, -2147483649L, uintmax_t{0} - 2147483649u},
      {Str("9223372036854775807"), {}, INT64_MAX, uintmax_t{INT64_MAX}},
      {Str("9223372036854775808"), {}, {}, 9223372036854775808ULL},
      {Str("-9223372036854775808"), {}, INT64_MIN, 9223372036854775808ULL},
      {Str("-9223372036854775809"), {}, {}, uintmax_t{0} - 9223372036854775809ULL},
      {Str("18446744073709551615"), {}, {}, UINT64_MAX},
      {Str("18446744073709551616"), {}, {}, {}},
      {Str("00000000000000000000042"), 42, 42L, 42u},
      {Str(std::string("12\0"
                       "34",
                       5)),
       12, 12L, 12u}, // cut at the NUL
      {Str(""), {}, {}, {}},
      {Str("-"), {}, {}, {}},
      {Str("+"), {}, {}, {}},
      {Str("12 "), {}, {}, {}},
      {Str(" 12"), {}, {}, {}},
      {Str("1.0"), {}, {}, {}},
      {Str("1e3"), {}, {}, {}},
      {Str("0x10"), {}, {}, {}},
      {Str("1,000"), {}, {}, {}},
      {Str("--1"), {}, {}, {}},
      {Str("+-1"), {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.label);
    const TypeParam value = this->Make(c.value);
    EXPECT_EQ(JsonValueToInt(value, intDefault), c.asInt.value_or(intDefault));
    EXPECT_EQ(JsonValueToLong(value, longDefault), c.asLong.value_or(longDefault));
    EXPECT_EQ(JsonValueToIntmax_t(value, longDefault), c.asLong.value_or(longDefault));
    EXPECT_EQ(JsonValueToUIntmax_t(value, unsignedDefault), c.asUnsigned.value_or(unsignedDefault));
  }
}

TYPED_TEST(JsonCoercion, FloatOfEveryKind) {
  const float fallback = 123.25f;
  const float fNaN = std::numeric_limits<float>::quiet_NaN();
  const float fInf = std::numeric_limits<float>::infinity();
  const struct {
    J value;
    std::optional<float> expected;
  } cases[] = {
      {Null(), {}},
      {False(), {}},
      {True(), {}},
      {Object(), {}},
      {Array12(), {}},
      // integers to the nearest float
      {Int(0), 0.0f},
      {Int(16777217), 16777216.0f},
      {Int(-16777217), -16777216.0f},
      {Int(INT64_MIN), -9223372036854775808.0f},
      {Uint(UINT64_MAX), 18446744073709551616.0f},
      // doubles inside float's range are rounded; outside it, the default
      {Dbl(1.5), 1.5f},
      {Dbl(0.1), 0.1f},
      {Dbl(3.4028234663852886e38), FLT_MAX},
      {Dbl(-3.4028234663852886e38), -FLT_MAX},
      {Dbl(std::nextafter(3.4028234663852886e38, kInf)), {}},
      {Dbl(1e300), {}},
      {Dbl(kInf), {}},
      {Dbl(-kInf), {}},
      {Dbl(kNaN), fNaN},
      // texts
      {Str("1.5"), 1.5f},
      {Str("+1.5"), 1.5f},
      {Str("-2e3"), -2000.0f},
      {Str("007.25"), 7.25f},
      {Str(".5"), 0.5f},
      {Str("5."), 5.0f},
      {Str(std::string("2.5\0"
                       "9",
                       5)),
       2.5f},
      {Str("INF"), fInf},
      {Str("-Infinity"), -fInf},
      {Str("nan"), fNaN},
      {Str("-NaN"), -fNaN},
      {Str("nan(0x1)"), fNaN},
      {Str("nan()"), fNaN},
      {Str("nan("), {}},
      {Str("infin"), {}},
      {Str("1.5e"), {}},
      {Str("1e+"), {}},
      {Str("1E-"), {}},
      {Str("1.5-"), {}},
      {Str(" 1.5"), {}},
      {Str("1.5 "), {}},
      {Str("1.5x"), {}},
      {Str("1,5"), {}},
      {Str(""), {}},
      {Str("1e39"), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.label);
    const float result = JsonValueToFloat(this->Make(c.value), fallback);
    const float expected = c.expected.value_or(fallback);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(result)) << result;
      EXPECT_EQ(std::signbit(result), std::signbit(expected));
    } else {
      EXPECT_EQ(result, expected);
    }
  }
}

TYPED_TEST(JsonCoercion, BoolOfEveryKind) {
  enum Expect { IsFalse, IsTrue, IsDefault };
  const struct {
    J value;
    Expect expected;
  } cases[] = {
      {Null(), IsDefault},
      {Object(), IsDefault},
      {Array12(), IsDefault},
      {False(), IsFalse},
      {True(), IsTrue},
      // only "false" in any letter case is false; every other text is true
      {Str("false"), IsFalse},
      {Str("FALSE"), IsFalse},
      {Str("False"), IsFalse},
      {Str(std::string("fAlSe\0x", 7)), IsFalse},
      {Str(""), IsTrue},
      {Str("0"), IsTrue},
      {Str("no"), IsTrue},
      {Str("falsey"), IsTrue},
      {Str("fals"), IsTrue},
      {Str(" false"), IsTrue},
      {Str("true"), IsTrue},
      // numbers: nonzero is true, zero the default, whatever the range or kind
      {Int(0), IsDefault},
      {Int(5), IsTrue},
      {Int(-1), IsTrue},
      {Int(INT_MIN), IsTrue},
      {Int(2147483648LL), IsTrue},
      {Int(INT64_MIN), IsTrue},
      {Uint(UINT64_MAX), IsTrue},
      {Dbl(0.0), IsDefault},
      {Dbl(-0.0), IsDefault},
      {Dbl(0.5), IsTrue},
      {Dbl(-kInf), IsTrue},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.label);
    const TypeParam value = this->Make(c.value);
    for (const bool fallback : {false, true}) {
      const bool expected = c.expected == IsDefault ? fallback : c.expected == IsTrue;
      EXPECT_EQ(JsonValueToBool(value, fallback), expected) << "default " << fallback;
    }
  }
}

// A string that refers to memory without a terminator is read up to its stored length only.
TYPED_TEST(JsonCoercion, UnterminatedStringReferenceIsReadWithinItsLength) {
  using Ch = typename TypeParam::Ch;
  const std::vector<Ch> digits{'1', '2'}; // no NUL follows
  TypeParam value(rapidjson::StringRef(digits.data(), digits.size()));
  EXPECT_EQ(JsonValueToInt(value, -1), 12);
  EXPECT_EQ(JsonValueToString(value), "12");
}

// The compact JSON text of an object, checked through both string coercions.
template <class Value> void ExpectJson(const Value& object, const std::string& expected) {
  EXPECT_EQ(JsonValueToString(object, "default"), expected);
  EXPECT_EQ(JsonValueToWideString(object, L"default"), Widen<wchar_t>(expected));
}

TYPED_TEST(JsonCoercion, ObjectTextKeepsNestingOrderAndDuplicates) {
  using Value = TypeParam;
  auto& a = this->allocator();
  Value inner(rapidjson::kArrayType);
  Value deepest(rapidjson::kObjectType);
  Add(deepest, this->Str("c"), Value(), a);
  inner.PushBack(1, a).PushBack(-2, a).PushBack(deepest, a);
  Value middle(rapidjson::kObjectType);
  Add(middle, this->Str("b"), inner, a);
  Add(middle, this->Str("e"), Value(rapidjson::kArrayType), a);
  Value object(rapidjson::kObjectType);
  Add(object, this->Str("z"), middle, a);
  Add(object, this->Str("z"), true, a);
  Add(object, this->Str("a"), false, a);
  Add(object, this->Str("min"), Value(static_cast<int64_t>(INT64_MIN)), a);
  Add(object, this->Str("max"), Value(static_cast<uint64_t>(UINT64_MAX)), a);
  Add(object, this->Str("s"), this->Str("x y"), a);
  ExpectJson(object, "{\"z\":{\"b\":[1,-2,{\"c\":null}],\"e\":[]},\"z\":true,\"a\":false,"
                     "\"min\":-9223372036854775808,\"max\":18446744073709551615,\"s\":\"x y\"}");
}

TYPED_TEST(JsonCoercion, ObjectTextEscapesControlsQuotesAndBackslashes) {
  using Value = TypeParam;
  auto& a = this->allocator();
  Value object(rapidjson::kObjectType);
  Add(object, this->Str("k\n\""),
      this->Str(std::string("q\"b\\/\b\t\n\f\r\x01\x1b\x1f\x7f\0z", 16)), a);
  ExpectJson(object,
             "{\"k\\n\\\"\":\"q\\\"b\\\\/\\b\\t\\n\\f\\r\\u0001\\u001B\\u001F\x7f\\u0000z\"}");
}

TYPED_TEST(JsonCoercion, ObjectTextWritesDoublesInFixedNotation) {
  using Value = TypeParam;
  auto& a = this->allocator();
  Value object(rapidjson::kObjectType);
  Add(object, this->Str("x"), 1.0, a);
  Add(object, this->Str("h"), 0.5, a);
  Add(object, this->Str("t"), 0.1, a);
  Add(object, this->Str("n"), -2.5, a);
  Add(object, this->Str("z"), -0.0, a);
  Add(object, this->Str("small"), 1e-30, a);
  Add(object, this->Str("nan"), kNaN, a);
  Add(object, this->Str("inf"), kInf, a);
  Add(object, this->Str("minf"), -kInf, a);
  ExpectJson(object, "{\"x\":1.0000000000000000000000,\"h\":0.5000000000000000000000,"
                     "\"t\":0.1000000000000000055511,\"n\":-2.5000000000000000000000,"
                     "\"z\":-0.0000000000000000000000,\"small\":0.0000000000000000000000,"
                     "\"nan\":nan,\"inf\":inf,\"minf\":-inf}");
}

// Past 99 characters a double's text is still written whole: cutting it would change the number.
TYPED_TEST(JsonCoercion, ObjectTextWritesHugeDoublesInFull) {
  using Value = TypeParam;
  for (const double huge : {1e300, -DBL_MAX, 1e76}) {
    SCOPED_TRACE(huge);
    Value object(rapidjson::kObjectType);
    Add(object, this->Str("h"), huge, this->allocator());
    const std::string json = JsonValueToString(object);
    const std::string prefix = "{\"h\":", suffix = ".0000000000000000000000}";
    ASSERT_EQ(json.compare(0, prefix.size(), prefix), 0) << json;
    ASSERT_GT(json.size(), prefix.size() + suffix.size());
    ASSERT_EQ(json.compare(json.size() - suffix.size(), suffix.size(), suffix), 0) << json;
    const std::string number = json.substr(prefix.size(), json.size() - prefix.size() - 1);
    EXPECT_GT(number.size(), 99u);
    EXPECT_EQ(number.find_first_of("eE"), std::string::npos);
    EXPECT_EQ(std::strtod(number.c_str(), nullptr), huge);
    EXPECT_EQ(JsonValueToWideString(object), Widen<wchar_t>(json));
  }
}

// Where the overloads differ: how string text changes encoding.
// A program that embeds the library may have set a locale with a decimal comma (a GUI program
// calls setlocale(LC_ALL, "")): the JSON text and the double texts keep their point all the same.
TEST(JsonCoercionLocale, DoublesKeepTheirPointUnderADecimalCommaLocale) {
  const orvanta::test::ScratchDir locales("orvanta-locale");
  const std::string build =
      "localedef -c -i de_DE -f UTF-8 '" + locales.path() + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0)
    GTEST_SKIP() << "localedef cannot build de_DE.UTF-8 here (Debian package locales)";
  const orvanta::test::ScopedEnv localePath("LOCPATH", locales.path());
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  char shown[8];
  std::snprintf(shown, sizeof shown, "%.1f", 0.5);

  OrvantaJsonAllocator allocator;
  OrvantaJsonValue object(rapidjson::kObjectType);
  object.AddMember("h", 0.5, allocator);
  const std::string json = JsonValueToString(object);
  const std::wstring wideJson = JsonValueToWideString(object);
  const std::string text = JsonValueToString(OrvantaJsonValue(0.1));
  const std::wstring wideText = JsonValueToWideString(OrvantaJsonWValue(-1e21));
  std::setlocale(LC_NUMERIC, saved.c_str());

  ASSERT_STREQ(shown, "0,5") << "the locale in force writes a decimal comma";
  EXPECT_EQ(json, "{\"h\":0.5000000000000000000000}");
  EXPECT_EQ(wideJson, L"{\"h\":0.5000000000000000000000}");
  EXPECT_EQ(text, "0.10000000000000001");
  EXPECT_EQ(wideText, L"-1e+21");
}

TEST(JsonCoercionOverloads, InvalidTextIsDroppedOnlyWhenConverted) {
  OrvantaJsonAllocator a;
  // UTF-8 value: bytes pass through to narrow, invalid sequences vanish on the way to wide.
  const OrvantaJsonValue badUtf8("\xC3\x28", a);
  EXPECT_EQ(JsonValueToString(badUtf8, "default"), "\xC3\x28");
  EXPECT_EQ(JsonValueToWideString(badUtf8, L"default"), L"");
  OrvantaJsonValue utf8Object(rapidjson::kObjectType);
  Add(utf8Object, "k",
      OrvantaJsonValue("a\xC3\x28"
                       "b",
                       a),
      a);
  EXPECT_EQ(JsonValueToString(utf8Object), "{\"k\":\"a\xC3\x28"
                                           "b\"}");
  EXPECT_EQ(JsonValueToWideString(utf8Object), L"{\"k\":\"ab\"}");

  // Wide value: elements pass through to wide, surrogates vanish on the way to UTF-8.
  const OrvantaJsonWValue surrogate(L"\xD800", a);
  EXPECT_EQ(JsonValueToString(surrogate, "default"), "");
  EXPECT_EQ(JsonValueToWideString(surrogate, L"default"), L"\xD800");
  OrvantaJsonWValue wideObject(rapidjson::kObjectType);
  Add(wideObject, L"k",
      OrvantaJsonWValue(L"a\xDC00"
                        L"b",
                        a),
      a);
  EXPECT_EQ(JsonValueToString(wideObject), "{\"k\":\"ab\"}");
  EXPECT_EQ(JsonValueToWideString(wideObject), L"{\"k\":\"a\xDC00"
                                               L"b\"}");
}

TEST(JsonCoercionOverloads, NonAsciiTextIsCopiedUnescapedInBothEncodings) {
  OrvantaJsonAllocator a;
  const std::string utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // é € 😀
  const std::wstring wide = L"\u00E9\u20AC\U0001F600";
  OrvantaJsonValue utf8Object(rapidjson::kObjectType);
  Add(utf8Object, OrvantaJsonValue(utf8.c_str(), a), OrvantaJsonValue(utf8.c_str(), a), a);
  OrvantaJsonWValue wideObject(rapidjson::kObjectType);
  Add(wideObject, OrvantaJsonWValue(wide.c_str(), a), OrvantaJsonWValue(wide.c_str(), a), a);
  for (const std::string& json : {JsonValueToString(utf8Object), JsonValueToString(wideObject)})
    EXPECT_EQ(json, "{\"" + utf8 + "\":\"" + utf8 + "\"}");
  for (const std::wstring& json :
       {JsonValueToWideString(utf8Object), JsonValueToWideString(wideObject)})
    EXPECT_EQ(json, L"{\"" + wide + L"\":\"" + wide + L"\"}");
  EXPECT_EQ(JsonValueToString(OrvantaJsonWValue(wide.c_str(), a)), utf8);
  EXPECT_EQ(JsonValueToWideString(OrvantaJsonValue(utf8.c_str(), a)), wide);
}

// Wide elements beyond ASCII are never taken for the ASCII character in their low byte.
TEST(JsonCoercionOverloads, WideElementsAreNotNarrowedToTheirLowByte) {
  OrvantaJsonAllocator a;
  const OrvantaJsonWValue digits(L"\x131\x132", a); // low bytes '1' '2'
  EXPECT_EQ(JsonValueToInt(digits, -1), -1);
  EXPECT_EQ(JsonValueToUIntmax_t(digits, 9u), 9u);
  EXPECT_EQ(JsonValueToFloat(digits, 0.5f), 0.5f);
  EXPECT_EQ(JsonValueToInt(OrvantaJsonWValue(L"\xFF11", a), -1), -1); // full-width digit one
  EXPECT_TRUE(JsonValueToBool(OrvantaJsonWValue(L"\x146\x141\x14C\x153\x145", a))); // "FALSE"
  EXPECT_TRUE(JsonValueToBool(OrvantaJsonWValue(L"f\x161lse", a)));

  OrvantaJsonWValue object(rapidjson::kObjectType);
  Add(object, L"k", OrvantaJsonWValue(L"\x122\x15C\x10A\x100", a), a); // '"' '\' '\n' NUL
  EXPECT_EQ(JsonValueToWideString(object), L"{\"k\":\"\x122\x15C\x10A\x100\"}");
}

// --- CopyJsonValue
// ---------------------------------------------------------------------------------

using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, OrvantaJsonAllocator>;

OrvantaJsonWValue WideText(const std::wstring& text, OrvantaJsonAllocator& a) {
  return OrvantaJsonWValue(text.data(), static_cast<SizeType>(text.size()), a);
}

TEST(CopyJsonValue, DeepCopyOutlivesTheSourceAndKeepsOrder) {
  auto source = std::make_unique<WideDocument>();
  auto& sa = source->GetAllocator();
  // A string that only refers to memory outside any document.
  std::wstring external = L"outside text, long enough to need a block";
  source->SetObject();
  OrvantaJsonWValue list(rapidjson::kArrayType);
  list.PushBack(1, sa).PushBack(WideText(L"two", sa), sa).PushBack(OrvantaJsonWValue(), sa);
  OrvantaJsonWValue nested(rapidjson::kObjectType);
  Add(nested, WideText(L"list", sa), list, sa);
  Add(nested, WideText(L"ref", sa), rapidjson::StringRef(external.c_str()), sa);
  Add(*source, WideText(L"b", sa), nested, sa);
  Add(*source, WideText(L"a", sa), WideText(L"a long string value held in the pool", sa), sa);
  Add(*source, WideText(L"b", sa), 2.5, sa);
  Add(*source, WideText(L"c", sa), false, sa);
  const std::wstring before = JsonValueToWideString(*source);
  ASSERT_EQ(before, L"{\"b\":{\"list\":[1,\"two\",null],\"ref\":\"" + external +
                        L"\"},\"a\":\"a long string value held in the pool\","
                        L"\"b\":2.5000000000000000000000,\"c\":false}");

  WideDocument destination;
  destination.SetArray().PushBack(7, destination.GetAllocator()); // replaced by the copy
  CopyJsonValue(destination, *source, destination.GetAllocator());

  // Nothing of the copy may live in the source's pool or in the external buffer.
  external.assign(external.size(), L'#');
  source->GetAllocator().Clear();
  source.reset();
  EXPECT_EQ(JsonValueToWideString(destination), before);
}

// A copied number falls into the same row of the coercion table as its source.
TEST(CopyJsonValue, NumbersKeepHowTheyAreHeld) {
  OrvantaJsonAllocator a;
  for (const J& number : {Int(5), Int(0), Int(-1), Int(INT_MIN), Int(2147483648LL), Int(INT64_MIN),
                          Uint(UINT64_MAX), Dbl(5.0), Dbl(-0.0), Dbl(0.1)}) {
    SCOPED_TRACE(number.label);
    const OrvantaJsonWValue source = Build<OrvantaJsonWValue>(number, a);
    OrvantaJsonWValue copy;
    CopyJsonValue(copy, source, a);
    EXPECT_EQ(copy.IsDouble(), source.IsDouble());
    EXPECT_EQ(JsonValueToInt(copy, 42), JsonValueToInt(source, 42));
    EXPECT_EQ(JsonValueToLong(copy, 42), JsonValueToLong(source, 42));
    EXPECT_EQ(JsonValueToUIntmax_t(copy, 42), JsonValueToUIntmax_t(source, 42));
    EXPECT_EQ(JsonValueToString(copy), JsonValueToString(source));
  }
  OrvantaJsonWValue five;
  CopyJsonValue(five, OrvantaJsonWValue(5), a);
  EXPECT_EQ(JsonValueToInt(five), 5);
  EXPECT_EQ(JsonValueToLong(five), 5);
  EXPECT_EQ(JsonValueToUIntmax_t(five), 5u);
  CopyJsonValue(five, OrvantaJsonWValue(5.0), a);
  EXPECT_EQ(JsonValueToInt(five, -1), -1);
  EXPECT_EQ(JsonValueToLong(five, -1), -1);
  EXPECT_EQ(JsonValueToUIntmax_t(five, 9u), 9u);
}

TEST(CopyJsonValue, StringsAreCutAtTheirFirstNul) {
  OrvantaJsonAllocator a;
  OrvantaJsonWValue object(rapidjson::kObjectType);
  Add(object, WideText(std::wstring(L"na\0me", 5), a), WideText(std::wstring(L"ab\0cd", 5), a), a);
  OrvantaJsonWValue copy;
  CopyJsonValue(copy, object, a);
  ASSERT_TRUE(copy.IsObject());
  ASSERT_EQ(copy.MemberCount(), 1u);
  EXPECT_EQ(std::wstring(copy.MemberBegin()->name.GetString(),
                         copy.MemberBegin()->name.GetStringLength()),
            L"na");
  EXPECT_EQ(std::wstring(copy.MemberBegin()->value.GetString(),
                         copy.MemberBegin()->value.GetStringLength()),
            L"ab");
  const std::wstring unterminated = L"12345";
  CopyJsonValue(copy, OrvantaJsonWValue(rapidjson::StringRef(unterminated.data(), 2)), a);
  EXPECT_EQ(std::wstring(copy.GetString(), copy.GetStringLength()), L"12");
}

// Copying a value onto itself or onto one of its own members reads the source whole first.
TEST(CopyJsonValue, OverlappingDestinationIsSafe) {
  OrvantaJsonAllocator a;
  OrvantaJsonWValue object(rapidjson::kObjectType);
  Add(object, L"k", WideText(L"a value long enough for a block", a), a);
  CopyJsonValue(object, object, a);
  ASSERT_EQ(JsonValueToWideString(object), L"{\"k\":\"a value long enough for a block\"}");
  CopyJsonValue(object[L"k"], object, a);
  EXPECT_EQ(JsonValueToWideString(object), L"{\"k\":{\"k\":\"a value long enough for a block\"}}");
}

// --- Depth -------------------------------------------------------------------------------------

using Utf8Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, OrvantaJsonAllocator>;

// The compact text of an object whose member "k" holds a nest depth levels deep: objects, each
// with one member "k", down to an empty one; or arrays, each holding the next, down to an empty
// one.
std::string DeepText(std::size_t depth, bool objects) {
  std::string text;
  if (objects) {
    for (std::size_t level = 0; level <= depth; ++level)
      text += "{\"k\":";
    text += "{}" + std::string(depth + 1, '}');
  } else {
    text = "{\"k\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  }
  return text;
}

struct DeepResults {
  std::string narrow, wideAsNarrow;
  std::wstring wide, copied;
};

// Every function that walks a tree: the writers of both value types and the copy (whose
// destination document is destroyed here too).
DeepResults WriteAndCopy(const Utf8Document& narrow, const WideDocument& wide) {
  DeepResults results;
  results.narrow = JsonValueToString(narrow);
  results.wideAsNarrow = JsonValueToString(wide);
  results.wide = JsonValueToWideString(wide);
  WideDocument target;
  CopyJsonValue(target, wide, target.GetAllocator());
  results.copied = JsonValueToWideString(target);
  return results;
}

// Runs work on a thread of its own whose stack holds only stackBytes.
template <class Work> void RunOnSmallStack(std::size_t stackBytes, Work& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    (*static_cast<Work*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// Trees as deep as RapidJSON's iterative parser builds them are written and copied without one
// call per level: on the default stack, and on a stack of 256 KiB, which a walk that recursed
// would overflow within a few thousand levels.
TEST(DeepJson, WrittenAndCopiedWithoutRecursion) {
  for (const std::size_t depth : {100000u, 1000000u}) {
    for (const bool objects : {false, true}) {
      SCOPED_TRACE(std::to_string(depth) + (objects ? " objects" : " arrays"));
      const std::string text = DeepText(depth, objects);
      const std::wstring wideText(text.begin(), text.end());
      Utf8Document narrow;
      narrow.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
      ASSERT_FALSE(narrow.HasParseError());
      WideDocument wide;
      wide.Parse<rapidjson::kParseIterativeFlag, rapidjson::UTF8<char>>(text.data(), text.size());
      ASSERT_FALSE(wide.HasParseError());

      DeepResults onDefault = WriteAndCopy(narrow, wide), onSmall;
      auto work = [&] { onSmall = WriteAndCopy(narrow, wide); };
      RunOnSmallStack(256 * 1024, work);
      for (const DeepResults* results : {&onDefault, &onSmall}) {
        // Compared whole, without printing megabytes on a mismatch.
        EXPECT_TRUE(results->narrow == text);
        EXPECT_TRUE(results->wideAsNarrow == text);
        EXPECT_TRUE(results->wide == wideText);
        EXPECT_TRUE(results->copied == wideText);
      }
    }
  }
}

} // namespace
