// CreateUUIDString beside Boost's random_generator_pure + to_string alone (the work it is made
// of, without anything of ours) and libuuid's uuid_generate_random + uuid_unparse_lower.
#include "BenchSupport.h"
#include "Utils.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <uuid/uuid.h>

namespace {

using namespace orvanta::bench;

std::string Ours() {
  return CreateUUIDString();
}
std::string BoostAlone() {
  boost::uuids::random_generator_pure generator;
  return boost::uuids::to_string(generator());
}
std::string Libuuid() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_lower(id, text);
  return text;
}

void Register(const char* name, std::string (*make)()) {
  benchmark::RegisterBenchmark(name, [make](benchmark::State& state) {
    std::string previous, last;
    int repeats = 0;
    for (auto _ : state) {
      previous.swap(last);
      last = make();
      repeats += last == previous;
      benchmark::DoNotOptimize(last.data());
    }
    // A version 4 UUID, and never the same one twice in a row.
    if (last.size() != 36 || last[14] != '4' || repeats != 0)
      Fail(state, "not a fresh version 4 UUID: " + last);
  });
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    Register("CreateUUIDString/ours/-", Ours);
    Register("CreateUUIDString/boost_random_generator_pure/-", BoostAlone);
    Register("CreateUUIDString/libuuid/-", Libuuid);
  });
}
