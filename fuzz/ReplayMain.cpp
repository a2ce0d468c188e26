// Runs a fuzz target over saved inputs without libFuzzer, so that any compiler can replay the
// corpus (under the sanitizers in CI). Arguments: files, or folders whose files are all run.
#include "FuzzCheck.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path << '\n';
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

} // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument = argv[i];
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argument)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument))
        if (entry.is_regular_file())
          files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argument);
    }
    for (const auto& file : files) {
      if (!RunFile(file))
        return 1;
      ++runs;
    }
  }
  std::cout << "replayed " << runs << " inputs\n";
  return runs > 0 ? 0 : 1;
}
