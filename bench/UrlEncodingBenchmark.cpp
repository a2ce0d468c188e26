// URLEncode and URLDecode beside GLib's g_uri_escape_bytes / g_uri_unescape_bytes and libcurl's
// curl_easy_escape / curl_easy_unescape, on the same byte corpora at several sizes.
#include "BenchSupport.h"
#include "Utils.h"

#include <curl/curl.h>
#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using namespace orvanta::bench;

// 24 and 200 bytes are the sizes of real query values and form fields, where the fixed cost of a
// call counts most; 1 MiB shows the per-byte work.
constexpr int64_t kSizes[] = {24, 200, 4096, 1 << 20};

struct Case {
  std::string plain;   // a byte corpus, no NUL inside
  std::string encoded; // its URLEncode form: what the decoders read
};

std::unique_ptr<Case> MakeCase(const std::string& kind, std::size_t size) {
  auto c = std::make_unique<Case>();
  c->plain = MakeBytes(kind, size);
  char* encoded = URLEncode(c->plain.c_str());
  c->encoded = encoded;
  std::free(encoded);
  return c;
}

CURL* Curl() {
  static CURL* const handle = curl_easy_init();
  return handle;
}

// Each encoder returns its result's length (and frees it), so the loop's work is observable.
using Coder = std::size_t (*)(const std::string& input);

std::size_t OursEncode(const std::string& in) {
  char* out = URLEncode(in.c_str());
  const std::size_t length = std::strlen(out);
  std::free(out);
  return length;
}
std::size_t GlibEncode(const std::string& in) {
  // NULL reserved set: only the unreserved characters stay, as near to ours as GLib allows.
  char* out = g_uri_escape_bytes(reinterpret_cast<const guint8*>(in.data()), in.size(), nullptr);
  const std::size_t length = std::strlen(out);
  g_free(out);
  return length;
}
std::size_t CurlEncode(const std::string& in) {
  char* out = curl_easy_escape(Curl(), in.data(), static_cast<int>(in.size()));
  const std::size_t length = std::strlen(out);
  curl_free(out);
  return length;
}
std::size_t OursDecode(const std::string& in) {
  char* out = URLDecode(in.c_str());
  const std::size_t length = std::strlen(out);
  std::free(out);
  return length;
}
std::size_t GlibDecode(const std::string& in) {
  GBytes* out = g_uri_unescape_bytes(in.data(), static_cast<gssize>(in.size()), nullptr, nullptr);
  if (out == nullptr)
    return 0;
  const std::size_t length = g_bytes_get_size(out);
  g_bytes_unref(out);
  return length;
}
std::size_t CurlDecode(const std::string& in) {
  int length = 0;
  char* out = curl_easy_unescape(Curl(), in.data(), static_cast<int>(in.size()), &length);
  curl_free(out);
  return static_cast<std::size_t>(length);
}

void Register(const std::string& name, Coder coder, bool decode, const std::string& kind) {
  for (const int64_t size : kSizes) {
    std::shared_ptr<Case> c = MakeCase(kind, static_cast<std::size_t>(size));
    benchmark::RegisterBenchmark(name.c_str(), [c, coder, decode](benchmark::State& state) {
      const std::string& input = decode ? c->encoded : c->plain;
      // Every coder must produce the other side of the pair, byte count for byte count.
      const std::size_t expected = decode ? c->plain.size() : c->encoded.size();
      std::size_t produced = 0;
      for (auto _ : state) {
        produced = coder(input);
        Keep(produced);
      }
      // GLib escapes "-", "_" and "~" too but keeps "!$&'()*+,;=:@/", so its length differs
      // from ours on mixed bytes; it still has to produce something.
      if (produced == 0 || (produced != expected && coder != GlibEncode && coder != CurlEncode))
        Fail(state, "produced " + std::to_string(produced) + " bytes, expected " +
                        std::to_string(expected));
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                              static_cast<int64_t>(input.size()));
    })->Arg(size);
  }
}

} // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const int status = Main(argc, argv, [] {
    for (const char* kind : kByteKinds) {
      const std::string k = kind;
      Register("URLEncode/ours/" + k, OursEncode, false, k);
      Register("URLEncode/g_uri_escape_bytes/" + k, GlibEncode, false, k);
      Register("URLEncode/curl_easy_escape/" + k, CurlEncode, false, k);
    }
    for (const char* kind : kByteKinds) {
      const std::string k = kind;
      Register("URLDecode/ours/" + k, OursDecode, true, k);
      Register("URLDecode/g_uri_unescape_bytes/" + k, GlibDecode, true, k);
      Register("URLDecode/curl_easy_unescape/" + k, CurlDecode, true, k);
    }
  });
  curl_easy_cleanup(Curl());
  curl_global_cleanup();
  return status;
}
