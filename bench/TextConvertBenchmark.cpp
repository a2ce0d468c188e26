// The library's UTF-8 <-> wide conversion beside raw Boost.Locale utf_to_utf (skip method), an
// ICU U8_NEXT / U8_APPEND loop and glibc's iconv, on the text classes of MakeText. The ICU loops
// write through a raw pointer into a buffer sized once to the largest result, as a caller who
// cares for speed would.
#include "BenchSupport.h"
#include "TextConvert.h"

#include <boost/locale/encoding_utf.hpp>
#include <iconv.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <memory>

namespace {

using namespace orvanta::bench;
namespace conv = boost::locale::conv;

constexpr int64_t kSizes[] = {64, 4096, 1 << 20};

struct Case {
  std::string utf8;
  std::wstring wide;
};

// --- UTF-8 to wide -----------------------------------------------------------------------------

std::wstring OursToWide(const std::string& in) {
  return orvanta::text::Utf8ToWide(in);
}
std::wstring BoostToWide(const std::string& in) {
  return conv::utf_to_utf<wchar_t>(in.data(), in.data() + in.size(), conv::skip);
}
// What a caller of ICU would write: one U8_NEXT per character, invalid sequences left out.
std::wstring IcuToWide(const std::string& in) {
  std::wstring out(in.size(), L'\0');
  const auto* s = reinterpret_cast<const uint8_t*>(in.data());
  const auto length = static_cast<int32_t>(in.size());
  wchar_t* const first = out.data();
  wchar_t* o = first;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c >= 0)
      *o++ = static_cast<wchar_t>(c);
  }
  out.resize(static_cast<std::size_t>(o - first));
  return out;
}

// iconv needs a descriptor per direction; opened once, reset before each conversion.
struct Iconv {
  iconv_t toWide = iconv_open("WCHAR_T", "UTF-8");
  iconv_t toUtf8 = iconv_open("UTF-8", "WCHAR_T");
  ~Iconv() {
    iconv_close(toWide);
    iconv_close(toUtf8);
  }
};
Iconv& Converters() {
  static Iconv converters;
  return converters;
}

std::wstring IconvToWide(const std::string& in) {
  std::wstring out(in.size(), L'\0');
  iconv_t cd = Converters().toWide;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* from = const_cast<char*>(in.data());
  std::size_t fromLeft = in.size();
  char* to = reinterpret_cast<char*>(out.data());
  std::size_t toLeft = out.size() * sizeof(wchar_t);
  while (fromLeft > 0 && iconv(cd, &from, &fromLeft, &to, &toLeft) == static_cast<size_t>(-1)) {
    if (errno != EILSEQ && errno != EINVAL)
      break;
    ++from; // skip the offending byte and go on
    --fromLeft;
  }
  out.resize(out.size() - toLeft / sizeof(wchar_t));
  return out;
}

// --- wide to UTF-8 -----------------------------------------------------------------------------

std::string OursToUtf8(const std::wstring& in) {
  return orvanta::text::WideToUtf8(in);
}
std::string BoostToUtf8(const std::wstring& in) {
  return conv::utf_to_utf<char>(in.data(), in.data() + in.size(), conv::skip);
}
std::string IcuToUtf8(const std::wstring& in) {
  std::string out(in.size() * 4, '\0');
  auto* s = reinterpret_cast<uint8_t*>(out.data());
  const auto capacity = static_cast<int32_t>(out.size());
  int32_t o = 0;
  for (const wchar_t element : in) {
    UBool isError = false; // surrogates and values above U+10FFFF are left out
    U8_APPEND(s, o, capacity, static_cast<uint32_t>(element), isError);
    static_cast<void>(isError);
  }
  out.resize(static_cast<std::size_t>(o));
  return out;
}
std::string IconvToUtf8(const std::wstring& in) {
  std::string out(in.size() * 4, '\0');
  iconv_t cd = Converters().toUtf8;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* from = reinterpret_cast<char*>(const_cast<wchar_t*>(in.data()));
  std::size_t fromLeft = in.size() * sizeof(wchar_t);
  char* to = out.data();
  std::size_t toLeft = out.size();
  while (fromLeft > 0 && iconv(cd, &from, &fromLeft, &to, &toLeft) == static_cast<size_t>(-1)) {
    if (errno != EILSEQ && errno != EINVAL)
      break;
    from += sizeof(wchar_t);
    fromLeft -= sizeof(wchar_t);
  }
  out.resize(out.size() - toLeft);
  return out;
}

template <class In, class Out>
void Register(const std::string& name, Out (*convert)(const In&), const std::string& kind) {
  for (const int64_t size : kSizes) {
    auto c = std::make_shared<Case>();
    c->utf8 = MakeText(kind, static_cast<std::size_t>(size));
    c->wide = conv::utf_to_utf<wchar_t>(c->utf8, conv::skip);
    benchmark::RegisterBenchmark(name.c_str(), [c, convert](benchmark::State& state) {
      const In* input;
      const Out* expected;
      if constexpr (std::is_same_v<In, std::string>) {
        input = &c->utf8;
        expected = &c->wide;
      } else {
        input = &c->wide;
        expected = &c->utf8;
      }
      Out out;
      for (auto _ : state) {
        out = convert(*input);
        benchmark::DoNotOptimize(out.data());
      }
      // Every converter must give the same text on valid input.
      if (out != *expected)
        Fail(state, "the conversion differs from Boost's");
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                              static_cast<int64_t>(c->utf8.size()));
    })->Arg(size);
  }
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    for (const char* kind : kTextKinds) {
      const std::string k = kind;
      Register("Utf8ToWide/ours/" + k, OursToWide, k);
      Register("Utf8ToWide/boost_utf_to_utf/" + k, BoostToWide, k);
      Register("Utf8ToWide/icu_U8_NEXT/" + k, IcuToWide, k);
      Register("Utf8ToWide/iconv/" + k, IconvToWide, k);
    }
    for (const char* kind : kTextKinds) {
      const std::string k = kind;
      Register("WideToUtf8/ours/" + k, OursToUtf8, k);
      Register("WideToUtf8/boost_utf_to_utf/" + k, BoostToUtf8, k);
      Register("WideToUtf8/icu_U8_APPEND/" + k, IcuToUtf8, k);
      Register("WideToUtf8/iconv/" + k, IconvToUtf8, k);
    }
  });
}
