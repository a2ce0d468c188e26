// IsImageFile and GetFileSignature over the files of the generated tree, one file per iteration
// in turn, beside reading the same bytes with std::ifstream and beside libmagic's MIME guess.
#include "BenchSupport.h"
#include "Utils.h"

#include <boost/locale/encoding_utf.hpp>
#include <magic.h>

#include <cstring>
#include <fstream>

namespace {

using namespace orvanta::bench;

std::string TreeLabel() {
  return std::to_string(TheTree().files.size()) + "_files";
}

void OursImage(benchmark::State& state) {
  const Tree& tree = TheTree();
  std::size_t next = 0, images = 0, expected = 0;
  for (auto _ : state) {
    images += IsImageFile(tree.files[next]);
    expected += tree.isImage[next];
    next = next + 1 == tree.files.size() ? 0 : next + 1;
  }
  if (images != expected)
    Fail(state, std::to_string(images) + " images, expected " + std::to_string(expected));
}

void OursSignature(benchmark::State& state) {
  const Tree& tree = TheTree();
  std::vector<std::wstring> wide;
  for (const std::string& path : tree.files)
    wide.push_back(boost::locale::conv::utf_to_utf<wchar_t>(path));
  std::size_t next = 0, wrong = 0;
  for (auto _ : state) {
    const std::wstring signature = GetFileSignature(wide[next]);
    wrong += signature.size() != 1152;
    next = next + 1 == wide.size() ? 0 : next + 1;
  }
  if (wrong != 0)
    Fail(state, std::to_string(wrong) + " signatures without 1152 digits");
}

// Opens the file, reads its first Size bytes, closes it: the bare reading our functions do.
template <std::size_t Size> void Ifstream(benchmark::State& state) {
  const Tree& tree = TheTree();
  std::size_t next = 0, read = 0, sum = 0;
  char head[Size];
  for (auto _ : state) {
    std::memset(head, 0, Size);
    std::ifstream in(tree.files[next], std::ios::binary);
    in.read(head, Size);
    read += in.gcount() > 0;
    sum += static_cast<unsigned char>(head[0]);
    next = next + 1 == tree.files.size() ? 0 : next + 1;
  }
  Keep(sum);
  if (read != static_cast<std::size_t>(state.iterations()))
    Fail(state, "some files could not be read");
}

void Libmagic(benchmark::State& state) {
  const Tree& tree = TheTree();
  magic_t cookie = magic_open(MAGIC_MIME_TYPE);
  if (cookie == nullptr || magic_load(cookie, nullptr) != 0) {
    Fail(state, "libmagic's database does not load");
    if (cookie != nullptr)
      magic_close(cookie);
    return;
  }
  std::size_t next = 0, images = 0, expected = 0;
  for (auto _ : state) {
    const char* type = magic_file(cookie, tree.files[next].c_str());
    images += type != nullptr && std::strncmp(type, "image/", 6) == 0;
    expected += tree.isImage[next];
    next = next + 1 == tree.files.size() ? 0 : next + 1;
  }
  magic_close(cookie);
  if (images != expected)
    Fail(state, "libmagic saw " + std::to_string(images) + " images, expected " +
                    std::to_string(expected));
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    const std::string input = TreeLabel();
    const auto add = [&](const std::string& name, void (*run)(benchmark::State&)) {
      benchmark::RegisterBenchmark((name + "/" + input).c_str(), run);
    };
    add("IsImageFile/ours", OursImage);
    add("IsImageFile/std_ifstream_12B", Ifstream<12>);
    // One MIME guess per file serves as the peer of both functions.
    add("IsImageFile/libmagic_mime", Libmagic);
    add("GetFileSignature/ours", OursSignature);
    add("GetFileSignature/std_ifstream_576B", Ifstream<576>);
  });
}
