// Shared pieces of the benchmark programs: fixed-seed corpora, a corpus folder, running programs,
// and a main that knows the corpus size and fails when a benchmark's own check failed.
//
// Every program accepts, besides Google Benchmark's flags:
//   --orvanta_corpus=full|smoke   full: the sizes the performance table is made of (default);
//                                 smoke: small corpora, for CI runs that only prove it still works.
// ORVANTA_BENCH_CORPUS_DIR names a folder where generated trees and archives are kept between
// runs; without it they live in a scratch folder removed at exit.
#ifndef ORVANTA_BENCH_BENCHSUPPORT_H
#define ORVANTA_BENCH_BENCHSUPPORT_H

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvanta::bench {

// Whether the small CI corpora were asked for.
bool Smoke();

// Keeps the compiler from discarding a result, without letting it change the variable: Google
// Benchmark 1.7's DoNotOptimize on a non-const lvalue can leave it altered under GCC.
template <class T> void Keep(const T& value) {
  benchmark::DoNotOptimize(value);
}

// Marks the benchmark failed (the program then exits 1) and stops it.
void Fail(benchmark::State& state, const std::string& message);

// Parses our flag, then runs the benchmarks registered so far (and those registerBenchmarks
// adds, once the corpus size is known). Returns the program's exit status.
int Main(int argc, char** argv, const std::function<void()>& registerBenchmarks);

// --- Corpora -----------------------------------------------------------------------------------
inline constexpr std::size_t kMiB = 1u << 20;

// Byte strings without NUL bytes (the byte-level functions take C strings):
//  "mixed"    60 % letters and digits, 10 % of " /-_.@:?=&", 30 % random bytes 1-255;
//  "all-safe" letters and digits only;
//  "binary"   random bytes 1-255.
std::string MakeBytes(const std::string& kind, std::size_t size);
inline const char* const kByteKinds[] = {"mixed", "all-safe", "binary"};

// UTF-8 text of at most size bytes, cut at a character boundary:
//  "ascii"       letters, 15 % spaces, 2 % digits and punctuation;
//  "ascii-heavy" the same for 97 % of the characters, with 2.5 % two-byte letters U+00C0-U+020F
//                and 0.5 % three-byte U+2000-U+20FF scattered among them;
//  "cjk-heavy"   88 % ideographs U+4E00-U+9FFF, 10 % ASCII digits and punctuation, 1 % kana,
//                1 % emoji U+1F600-U+1F64F;
//  "four-byte"   60 % characters beyond the BMP (emoji, ideographs of extension B), 20 % BMP
//                ideographs, 10 % accented letters, 10 % ASCII;
//  "prose"       words with one accented word in about 25, line breaks and punctuation.
// Code points are drawn independently with fixed seeds, except in the prose.
std::string MakeText(const std::string& kind, std::size_t size);
inline const char* const kTextKinds[] = {"ascii", "ascii-heavy", "cjk-heavy", "four-byte", "prose"};

// count path-like texts of 30-140 bytes (lengths drawn evenly), as callers hand paths over: a
// root ("/Users/name", "/home/name", "Documents", ...), folders of one to three words, a file name
// with an extension. About 4 % of the letters are accented (two-byte U+00E0-U+00FF), and one
// path in about twelve has a folder of two to four CJK ideographs. Fixed seed.
std::vector<std::string> MakePathTexts(std::size_t count);

// count file names over the 64 everyday extensions of kEverydayExtensions, drawn evenly: half are
// bare names, half have folders in front; one in ten has its extension in capitals. Fixed seed.
std::vector<std::string> MakeFileNames(std::size_t count);
extern const char* const kEverydayExtensions[64];

// The folder where corpora are written (created on first use).
const std::string& CorpusDir();

// A tree of small files: folders of files in groups of folders, each file beginning with one of
// the rotating heads PNG, JPEG, GIF, PDF and plain text; a few symbolic links to files and to
// folders among them. Made once per corpus folder; a second call only lists it again.
struct Tree {
  std::string root;
  std::vector<std::string> files; // every regular file
  std::vector<bool> isImage;      // per file: begins with an image head
  int folders = 0;
  int fileLinks = 0;   // symbolic links to regular files
  int folderLinks = 0; // symbolic links to folders
};
const Tree& TheTree();

// Two zip archives, first.zip holding "orvantaes.app" and second.zip holding "orvantaet.app",
// each of files of 16-512 KiB (half random bytes, half words); installed/ holds both bundles as
// extracted from them, the state before an update.
struct Bundle {
  std::string firstArchive, secondArchive, installed;
  std::uintmax_t firstBytes = 0, secondBytes = 0;
  int files = 0;
};
// The two archives together about 50 MB (1 MB for smoke).
const Bundle& TheBundle();
// The two archives together about megabytes MB (a fiftieth of that for smoke); made once per
// size and corpus folder.
const Bundle& TheBundle(int megabytes);

// --- Processes ---------------------------------------------------------------------------------
struct Spawn {
  std::vector<std::string> argv;          // argv[0] is looked up in PATH
  std::map<std::string, std::string> env; // added to / overriding the environment
  std::string directory;                  // working folder, or empty for ours
  bool quiet = true;                      // standard output and error to /dev/null
};
// Runs the program to its end; its exit status, or -1 when it could not be run or was killed.
int Run(const Spawn& spawn);
// Runs "/bin/sh -c command" and returns its standard output.
std::string Capture(const std::string& command);

// text single-quoted for /bin/sh.
std::string Quote(const std::string& text);

} // namespace orvanta::bench

#endif // ORVANTA_BENCH_BENCHSUPPORT_H
