// GetMimeType beside GIO's g_content_type_guess (by name only, no data) on everyday file names:
// 2,048 names over 64 common extensions, one per iteration in turn. GIO matches the whole name
// against the database's globs; ours looks only the extension up. Each answers with a new string
// (GIO's is freed with g_free).
#include "BenchSupport.h"
#include "Utils.h"

#include <gio/gio.h>

#include <string>
#include <vector>

namespace {

using namespace orvanta::bench;

std::string GioType(const std::string& name) {
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
  std::string result(type);
  g_free(type);
  return result;
}

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = MakeFileNames(Smoke() ? 256 : 2048);
  return names;
}

// The names are everyday ones: GIO and we must agree on every one of them.
bool Agree(benchmark::State& state) {
  for (const std::string& name : Names())
    if (GetMimeType(name) != GioType(name)) {
      Fail(state,
           "GetMimeType(\"" + name + "\") is " + GetMimeType(name) + ", GIO says " + GioType(name));
      return false;
    }
  return true;
}

void Ours(benchmark::State& state) {
  if (!Agree(state))
    return;
  const std::vector<std::string>& names = Names();
  std::size_t next = 0;
  std::string type;
  for (auto _ : state) {
    type = GetMimeType(names[next]);
    benchmark::DoNotOptimize(type.data());
    next = next + 1 == names.size() ? 0 : next + 1;
  }
}

void Gio(benchmark::State& state) {
  if (!Agree(state))
    return;
  const std::vector<std::string>& names = Names();
  std::size_t next = 0;
  gboolean uncertain = FALSE;
  for (auto _ : state) {
    gchar* type = g_content_type_guess(names[next].c_str(), nullptr, 0, &uncertain);
    benchmark::DoNotOptimize(type);
    g_free(type);
    next = next + 1 == names.size() ? 0 : next + 1;
  }
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    benchmark::RegisterBenchmark("GetMimeType/ours/2048_everyday_names", Ours);
    benchmark::RegisterBenchmark("GetMimeType/g_content_type_guess/2048_everyday_names", Gio);
  });
}
