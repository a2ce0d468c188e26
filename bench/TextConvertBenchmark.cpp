// The library's UTF-8 <-> wide conversion beside raw Boost.Locale utf_to_utf (skip method), an
// ICU U8_NEXT / U8_APPEND loop and glibc's iconv, on the text classes of MakeText. The ICU loops
// write through a raw pointer into a buffer sized once to the largest result, as a caller who
// cares for speed would.
#include "BenchSupport.h"
#include "TextConvert.h"
#include "Utils.h"

#include <boost/locale/encoding_utf.hpp>
#include <iconv.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <memory>
#include <vector>

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

// --- path-sized texts ---------------------------------------------------------------------------
// Callers convert paths, not megabytes: 2,048 path-like texts of 30-140 bytes, one per iteration
// in turn. Ours goes through the public join with an empty first piece, as a caller converting a
// path would, the by-value argument copy included; the peers convert each text as above.
constexpr const char* kPathInput = "paths_30-140_B";

std::wstring OursPathToWide(const std::string& in) {
  return AppendPath(std::string(), in);
}
std::string OursPathToUtf8(const std::wstring& in) {
  return AppendPathToString(std::wstring(), in);
}

struct PathTexts {
  std::vector<std::string> utf8;
  std::vector<std::wstring> wide;
  std::size_t bytes = 0;
};
const PathTexts& ThePathTexts() {
  static const PathTexts texts = [] {
    PathTexts t;
    t.utf8 = MakePathTexts(Smoke() ? 64 : 2048);
    for (const std::string& text : t.utf8) {
      t.wide.push_back(conv::utf_to_utf<wchar_t>(text, conv::skip));
      t.bytes += text.size();
    }
    return t;
  }();
  return texts;
}

template <class In, class Out>
void RegisterPaths(const std::string& function, const std::string& implementation,
                   Out (*convert)(const In&)) {
  const std::string name = function + "/" + implementation + "/" + kPathInput;
  benchmark::RegisterBenchmark(name.c_str(), [convert](benchmark::State& state) {
    const PathTexts& texts = ThePathTexts();
    const std::vector<In>* inputs;
    const std::vector<Out>* expected;
    if constexpr (std::is_same_v<In, std::string>) {
      inputs = &texts.utf8;
      expected = &texts.wide;
    } else {
      inputs = &texts.wide;
      expected = &texts.utf8;
    }
    for (std::size_t i = 0; i < inputs->size(); ++i)
      if (convert((*inputs)[i]) != (*expected)[i])
        return Fail(state, "the conversion of path " + std::to_string(i) + " differs from Boost's");
    const std::size_t count = inputs->size();
    std::size_t next = 0;
    Out out;
    for (auto _ : state) {
      out = convert((*inputs)[next]);
      benchmark::DoNotOptimize(out.data());
      next = next + 1 == count ? 0 : next + 1;
    }
    // Bytes of UTF-8 text per second, averaged over the corpus.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(texts.bytes / count));
  });
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
    RegisterPaths("PathToWide", "ours", OursPathToWide);
    RegisterPaths("PathToWide", "boost_utf_to_utf", BoostToWide);
    RegisterPaths("PathToWide", "icu_U8_NEXT", IcuToWide);
    RegisterPaths("PathToWide", "iconv", IconvToWide);
    RegisterPaths("PathToUtf8", "ours", OursPathToUtf8);
    RegisterPaths("PathToUtf8", "boost_utf_to_utf", BoostToUtf8);
    RegisterPaths("PathToUtf8", "icu_U8_APPEND", IcuToUtf8);
    RegisterPaths("PathToUtf8", "iconv", IconvToUtf8);
  });
}
