// GetFileCount over the generated tree beside `find DIR -type f | wc -l` (the processes timed
// whole, as a script would run them) and a std::filesystem walk with the same semantics.
#include "BenchSupport.h"
#include "Utils.h"

#include <boost/locale/encoding_utf.hpp>

#include <filesystem>

namespace {

using namespace orvanta::bench;

std::string TreeLabel() {
  const Tree& tree = TheTree();
  return std::to_string(tree.files.size()) + "_files";
}

void Ours(benchmark::State& state) {
  const Tree& tree = TheTree();
  const std::wstring root = boost::locale::conv::utf_to_utf<wchar_t>(tree.root);
  int count = 0;
  for (auto _ : state) {
    count = 0;
    GetFileCount(root, count);
    Keep(count);
  }
  // Links to files count; linked folders are not entered.
  const auto expected = static_cast<int>(tree.files.size()) + tree.fileLinks;
  if (count != expected)
    Fail(state, "counted " + std::to_string(count) + ", expected " + std::to_string(expected));
}

void Find(benchmark::State& state) {
  const Tree& tree = TheTree();
  const std::string command = "find " + Quote(tree.root) + " -type f | wc -l";
  long count = 0;
  for (auto _ : state) {
    count = std::stol(Capture(command));
    Keep(count);
  }
  // find does not count links.
  if (count != static_cast<long>(tree.files.size()))
    Fail(state, "find counted " + std::to_string(count));
}

void StdFilesystem(benchmark::State& state) {
  const Tree& tree = TheTree();
  namespace stdfs = std::filesystem;
  int count = 0;
  for (auto _ : state) {
    count = 0;
    for (const stdfs::directory_entry& entry : stdfs::recursive_directory_iterator(tree.root))
      count += entry.is_regular_file();
    Keep(count);
  }
  if (count != static_cast<int>(tree.files.size()) + tree.fileLinks)
    Fail(state, "std::filesystem counted " + std::to_string(count));
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    const std::string input = TreeLabel();
    // Processes take part, so every row is timed by the wall clock.
    benchmark::RegisterBenchmark(("GetFileCount/ours/" + input).c_str(), Ours)->UseRealTime();
    benchmark::RegisterBenchmark(("GetFileCount/find_wc/" + input).c_str(), Find)->UseRealTime();
    benchmark::RegisterBenchmark(("GetFileCount/std_filesystem/" + input).c_str(), StdFilesystem)
        ->UseRealTime();
  });
}
