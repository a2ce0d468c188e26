#include "BenchSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvanta::bench {
namespace {

namespace stdfs = std::filesystem;

bool smoke = false;
bool failed = false;

// The same sequence on every run and machine with this standard library.
using Random = std::mt19937_64;

constexpr const char* kWords[] = {
    "the",     "agent",   "update",  "bundle", "service", "folder", "archive", "process",
    "signal",  "launch",  "file",    "path",   "read",    "write",  "text",    "string",
    "wide",    "narrow",  "encode",  "decode", "value",   "number", "system",  "library",
    "quick",   "brown",   "fox",     "jumps",  "over",    "lazy",   "dog",     "and",
    "of",      "to",      "in",      "is",     "that",    "for",    "with",    "as",
    "machine", "network", "address", "port",   "memory",  "time",   "user",    "home",
    "install", "remove",  "copy",    "move",   "check",   "count",  "tree",    "image"};
constexpr const char* kLatin1Words[] = {"café",   "naïve",   "über",  "señor",  "façade",
                                        "garçon", "straße",  "déjà",  "à",      "coöperate",
                                        "rôle",   "smörgås", "crème", "fiancé", "jalapeño"};
constexpr const char kPunctuation[] = ",.;:!?";

template <class Container> const auto& Pick(Random& random, const Container& items) {
  return items[random() % std::size(items)];
}

std::string Letters() {
  return "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Words separated by spaces, with punctuation and line breaks; Latin-1 words when asked.
std::string Prose(Random& random, std::size_t size, bool latin1) {
  std::string text;
  text.reserve(size + 16);
  int column = 0;
  while (text.size() < size) {
    const bool accented = latin1 && random() % 25 == 0;
    const std::string word = accented ? Pick(random, kLatin1Words) : Pick(random, kWords);
    text += word;
    column += static_cast<int>(word.size());
    if (random() % 9 == 0)
      text += Pick(random, kPunctuation);
    if (column > 72) {
      text += '\n';
      column = 0;
    } else {
      text += ' ';
      ++column;
    }
  }
  return text;
}

// Code points drawn independently of each other, each from one of the weighted ranges of a class
// (weights in thousandths; a range lists its first and last code point).
struct Draw {
  unsigned weight;
  std::vector<std::pair<char32_t, char32_t>> ranges;
};
std::string Drawn(Random& random, std::size_t size, const std::vector<Draw>& draws) {
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) {
    unsigned roll = static_cast<unsigned>(random() % 1000);
    const Draw* draw = &draws.back();
    for (const Draw& d : draws) {
      if (roll < d.weight) {
        draw = &d;
        break;
      }
      roll -= d.weight;
    }
    const auto& [first, last] = draw->ranges[random() % draw->ranges.size()];
    AppendUtf8(text, first + static_cast<char32_t>(random() % (last - first + 1)));
  }
  return text;
}

// Letters, 15 % spaces, 2 % digits and punctuation, out of every thousand ASCII characters.
const std::vector<Draw> kAsciiDraws = {{150, {{' ', ' '}}},
                                       {20, {{'0', '9'}, {',', '.'}, {'!', '!'}, {'?', '?'}}},
                                       {830, {{'A', 'Z'}, {'a', 'z'}}}};

std::vector<Draw> Scaled(const std::vector<Draw>& draws, unsigned total) {
  std::vector<Draw> scaled = draws;
  for (Draw& d : scaled)
    d.weight = d.weight * total / 1000;
  return scaled;
}

std::vector<Draw> TextDraws(const std::string& kind) {
  if (kind == "ascii")
    return kAsciiDraws;
  if (kind == "ascii-heavy") {
    // A non-ASCII character every few dozen bytes: the case where a wide ASCII path keeps stopping.
    std::vector<Draw> draws = Scaled(kAsciiDraws, 970);
    draws.push_back({25, {{0xC0, 0x20F}}});
    draws.push_back({5, {{0x2000, 0x20FF}}});
    return draws;
  }
  if (kind == "cjk-heavy")
    return {{880, {{0x4E00, 0x9FFF}}},
            {100, {{'0', '9'}, {',', '.'}, {'!', '!'}, {'?', '?'}}},
            {10, {{0x3041, 0x3096}, {0x30A1, 0x30FA}}},
            {10, {{0x1F600, 0x1F64F}}}};
  // "four-byte": mostly characters beyond the BMP, among ideographs, accented letters and ASCII.
  return {{600, {{0x1F300, 0x1F64F}, {0x20000, 0x2A6DF}}},
          {200, {{0x4E00, 0x9FFF}}},
          {100, {{0xC0, 0x24F}}},
          {100, {{' ', ' '}, {'a', 'z'}}}};
}

// Cuts UTF-8 text at the last character boundary at or before size.
std::string CutAtBoundary(std::string text, std::size_t size) {
  if (text.size() <= size)
    return text;
  std::size_t cut = size;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  text.resize(cut);
  return text;
}

void WriteWhole(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw std::runtime_error("open(\"" + path + "\") failed: " + std::strerror(errno));
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      close(fd);
      throw std::runtime_error("write(\"" + path + "\") failed: " + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

std::string RandomBytes(Random& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const uint64_t value = random();
    std::memcpy(bytes.data() + i, &value, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

// The content a finished corpus was made with, kept beside it: a corpus is reused only when
// it was made completely and with the same parameters.
bool Finished(const std::string& stamp, const std::string& parameters) {
  std::ifstream in(stamp);
  std::string line;
  return std::getline(in, line) && line == parameters;
}

void Require(int status, const std::string& what) {
  if (status != 0)
    throw std::runtime_error(what + " failed with status " + std::to_string(status));
}

// --- the tree ----------------------------------------------------------------------------------

enum Kind { kPng, kJpeg, kGif, kPdf, kText, kKinds };
constexpr const char* kExtension[kKinds] = {"png", "jpg", "gif", "pdf", "txt"};

std::string Head(Kind kind) {
  using namespace std::string_literals;
  switch (kind) {
  case kPng:
    return "\x89PNG\r\n\x1A\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0"s;
  case kJpeg:
    return "\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0"s;
  case kGif:
    return "GIF89a\x10\0\x10\0\x80\0\0"s;
  case kPdf:
    return "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n"s;
  default:
    return "Plain notes about the agent.\n"s;
  }
}

Tree MakeTree() {
  const int groups = Smoke() ? 2 : 10;
  const int foldersPerGroup = Smoke() ? 5 : 100;
  const int filesPerFolder = Smoke() ? 20 : 100;
  const int folders = groups * foldersPerGroup;
  const int fileLinkEvery = std::max(1, folders / 10), folderLinkEvery = std::max(1, folders / 5);

  Tree tree;
  tree.root = CorpusDir() + (Smoke() ? "/tree-smoke" : "/tree");
  tree.folders = folders;
  const std::string parameters = "tree 1 " + std::to_string(groups) + " " +
                                 std::to_string(foldersPerGroup) + " " +
                                 std::to_string(filesPerFolder);
  const std::string stamp = tree.root + ".stamp";
  const bool write = !Finished(stamp, parameters);
  if (write) {
    stdfs::remove(stamp);
    stdfs::remove_all(tree.root);
  }

  Random random(0x7EE5EED);
  int fileNumber = 0;
  for (int g = 0; g < groups; ++g) {
    char groupName[16];
    std::snprintf(groupName, sizeof groupName, "g%02d", g);
    for (int d = 0; d < foldersPerGroup; ++d) {
      char folderName[16];
      std::snprintf(folderName, sizeof folderName, "d%03d", d);
      const std::string folder = tree.root + "/" + groupName + "/" + folderName;
      if (write)
        stdfs::create_directories(folder);
      std::string firstFile;
      for (int f = 0; f < filesPerFolder; ++f, ++fileNumber) {
        const Kind kind = static_cast<Kind>(fileNumber % kKinds);
        char fileName[32];
        std::snprintf(fileName, sizeof fileName, "f%03d.%s", f, kExtension[kind]);
        const std::string path = folder + "/" + fileName;
        if (firstFile.empty())
          firstFile = fileName;
        const std::size_t bodySize = 64 + random() % 385;
        if (write) {
          std::string content = Head(kind);
          content += kind == kText ? Prose(random, bodySize, false) : RandomBytes(random, bodySize);
          WriteWhole(path, content);
        } else {
          // Keep the sequence the same whether or not the files are written.
          if (kind == kText)
            Prose(random, bodySize, false);
          else
            RandomBytes(random, bodySize);
        }
        tree.files.push_back(path);
        tree.isImage.push_back(kind == kPng || kind == kJpeg || kind == kGif);
      }
      const int index = g * foldersPerGroup + d;
      if (index % fileLinkEvery == 1 % fileLinkEvery) {
        ++tree.fileLinks;
        if (write)
          stdfs::create_symlink(firstFile, folder + "/link-to-file");
      }
      if (index % folderLinkEvery == 3 % folderLinkEvery) {
        ++tree.folderLinks;
        char target[16];
        std::snprintf(target, sizeof target, "../d%03d", (d + 1) % foldersPerGroup);
        if (write)
          stdfs::create_directory_symlink(target, folder + "/link-to-folder");
      }
    }
  }
  if (write)
    WriteWhole(stamp, parameters + "\n");
  return tree;
}

// --- the bundle --------------------------------------------------------------------------------

// Writes one application bundle of files of 16-512 KiB (log-uniform), alternately random bytes
// and words, until its archive is expected to reach archiveBytes.
int MakeBundleFiles(const std::string& bundle, const std::string& executable, Random& random,
                    double archiveBytes) {
  stdfs::create_directories(bundle + "/Contents/MacOS");
  WriteWhole(bundle + "/Contents/Info.plist",
             "<?xml version=\"1.0\"?>\n<plist><dict><key>CFBundleExecutable</key><string>" +
                 executable + "</string></dict></plist>\n");
  int files = 1;
  double expected = 0;
  for (int n = 0; expected < archiveBytes; ++n, ++files) {
    const double logSize =
        std::log(16.0 * 1024) + (std::log(512.0 * 1024) - std::log(16.0 * 1024)) *
                                    (static_cast<double>(random() % 1000000) / 1000000.0);
    const auto size = static_cast<std::size_t>(std::exp(logSize));
    const bool binary = n % 2 == 0;
    std::string path;
    if (n == 0) {
      path = bundle + "/Contents/MacOS/" + executable;
    } else {
      const std::string folder = bundle + "/Contents/Resources/part" + std::to_string(n / 16);
      stdfs::create_directories(folder);
      path = folder + "/" + std::to_string(n) + (binary ? ".bin" : ".txt");
    }
    WriteWhole(path, binary ? RandomBytes(random, size) : Prose(random, size, false));
    // Random bytes do not shrink; words from a small vocabulary deflate to about a quarter.
    expected += binary ? static_cast<double>(size) : 0.27 * static_cast<double>(size);
  }
  return files;
}

Bundle MakeBundle(int megabytes) {
  const double archiveBytes = megabytes * (Smoke() ? 1.0e4 : 0.5e6);
  const std::string suffix = megabytes == 50 ? "" : "-" + std::to_string(megabytes);
  const std::string root = CorpusDir() + (Smoke() ? "/bundle-smoke" : "/bundle") + suffix;
  Bundle bundle;
  bundle.firstArchive = root + "/first.zip";
  bundle.secondArchive = root + "/second.zip";
  bundle.installed = root + "/installed";
  const std::string parameters = "bundle 1 " + std::to_string(archiveBytes);
  const std::string stamp = root + ".stamp";
  if (!Finished(stamp, parameters)) {
    stdfs::remove(stamp);
    stdfs::remove_all(root);
    const std::string staging = root + "/staging";
    stdfs::create_directories(staging);
    Random random(0xB0D1E);
    int files = MakeBundleFiles(staging + "/orvantaes.app", "orvantaes", random, archiveBytes);
    files += MakeBundleFiles(staging + "/orvantaet.app", "orvantaet", random, archiveBytes);
    Require(Run({{"sh", "-c", "zip -qrX ../first.zip orvantaes.app"}, {}, staging}), "zip");
    Require(Run({{"sh", "-c", "zip -qrX ../second.zip orvantaet.app"}, {}, staging}), "zip");
    Require(Run({{"unzip", "-q", bundle.firstArchive, "-d", bundle.installed}, {}, ""}), "unzip");
    Require(Run({{"unzip", "-q", bundle.secondArchive, "-d", bundle.installed}, {}, ""}), "unzip");
    stdfs::remove_all(staging);
    WriteWhole(stamp, parameters + "\n" + std::to_string(files) + "\n");
  }
  std::ifstream in(stamp);
  std::string line;
  std::getline(in, line);
  in >> bundle.files;
  bundle.firstBytes = stdfs::file_size(bundle.firstArchive);
  bundle.secondBytes = stdfs::file_size(bundle.secondArchive);
  return bundle;
}

// The corpus folder, and whether it is ours to remove at exit.
std::string corpusDir;
bool removeCorpusDir = false;

} // namespace

bool Smoke() {
  return smoke;
}

void Fail(benchmark::State& state, const std::string& message) {
  failed = true;
  std::cerr << "check failed: " << message << '\n';
  state.SkipWithError(message.c_str());
}

const std::string& CorpusDir() {
  if (corpusDir.empty()) {
    if (const char* kept = std::getenv("ORVANTA_BENCH_CORPUS_DIR"); kept && *kept) {
      corpusDir = kept;
      stdfs::create_directories(corpusDir);
    } else {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvanta-bench-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
      corpusDir = pattern;
      removeCorpusDir = true;
    }
  }
  return corpusDir;
}

std::string MakeBytes(const std::string& kind, std::size_t size) {
  Random random(kind == "mixed" ? 11 : kind == "all-safe" ? 12 : 13);
  const std::string letters = Letters();
  const std::string others = " /-_.@:?=&";
  std::string bytes(size, '\0');
  for (char& b : bytes) {
    const unsigned roll = kind == "mixed" ? random() % 100 : kind == "all-safe" ? 0 : 99;
    if (roll < 60)
      b = letters[random() % letters.size()];
    else if (roll < 70)
      b = others[random() % others.size()];
    else
      b = static_cast<char>(1 + random() % 255);
  }
  return bytes;
}

std::string MakeText(const std::string& kind, std::size_t size) {
  if (kind == "prose") {
    Random random(21);
    return CutAtBoundary(Prose(random, size, true), size);
  }
  Random random(kind == "ascii" ? 23 : kind == "ascii-heavy" ? 24 : kind == "cjk-heavy" ? 25 : 26);
  return CutAtBoundary(Drawn(random, size, TextDraws(kind)), size);
}

const char* const kEverydayExtensions[64] = {
    "pdf", "doc", "docx", "xls",  "xlsx", "ppt",  "pptx", "odt",  "ods",  "odp",  "txt",
    "rtf", "md",  "csv",  "htm",  "html", "css",  "js",   "json", "xml",  "yaml", "ics",
    "vcf", "eml", "jpg",  "jpeg", "png",  "gif",  "bmp",  "tif",  "tiff", "svg",  "webp",
    "ico", "psd", "heic", "mp3",  "wav",  "flac", "ogg",  "m4a",  "aac",  "mp4",  "mov",
    "avi", "mkv", "webm", "zip",  "tar",  "gz",   "bz2",  "xz",   "7z",   "rar",  "dmg",
    "iso", "deb", "epub", "py",   "c",    "cpp",  "sh",   "log",  "ttf"};

std::vector<std::string> MakePathTexts(std::size_t count) {
  static const char* const roots[] = {
      "/Users/", "/home/", "/Volumes/Backup/", "/tmp/", "/Applications/", "Documents/", "./", "~/"};
  static const char* const extensions[] = {".pdf", ".txt", ".jpg",  ".png",   ".docx", ".app",
                                           ".zip", ".mp3", ".json", ".plist", ".log",  ".md"};
  static const char separators[] = " -_";
  Random random(31);
  // A word with about 4 % of its letters accented.
  const auto word = [&random](std::string& out) {
    for (const char* c = Pick(random, kWords); *c != '\0'; ++c)
      if (random() % 25 == 0)
        AppendUtf8(out, 0xE0 + static_cast<char32_t>(random() % 32));
      else
        out += *c;
  };
  std::vector<std::string> paths;
  paths.reserve(count);
  while (paths.size() < count) {
    const std::size_t length = 30 + random() % 111;
    const bool cjk = random() % 12 == 0;
    std::string path = Pick(random, roots);
    word(path);
    while (path.size() + 12 < length) {
      path += '/';
      if (cjk && path.size() > length / 2 && path.size() + 24 < length) {
        for (unsigned n = 2 + random() % 3; n > 0; --n)
          AppendUtf8(path, 0x4E00 + static_cast<char32_t>(random() % 0x5200));
        continue;
      }
      for (unsigned words = 1 + random() % 3; words > 0; --words) {
        word(path);
        if (words > 1)
          path += separators[random() % 3];
      }
      if (random() % 6 == 0)
        path += std::to_string(random() % 2030);
    }
    path += Pick(random, extensions);
    path = CutAtBoundary(std::move(path), 140);
    if (path.size() >= 30)
      paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::string> MakeFileNames(std::size_t count) {
  static const char* const folders[] = {"/home/user/Documents/",
                                        "/Users/user/Downloads/",
                                        "Pictures/2024/",
                                        "/tmp/",
                                        "./src/",
                                        "/srv/share/"};
  Random random(32);
  std::vector<std::string> names;
  names.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = random() % 2 == 0 ? Pick(random, folders) : "";
    name += Pick(random, kWords);
    if (random() % 3 == 0)
      name += "-" + std::to_string(random() % 1000);
    std::string extension = Pick(random, kEverydayExtensions);
    if (random() % 10 == 0)
      for (char& c : extension)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    names.push_back(name + "." + extension);
  }
  return names;
}

const Tree& TheTree() {
  static const Tree tree = MakeTree();
  return tree;
}

const Bundle& TheBundle() {
  return TheBundle(50);
}

const Bundle& TheBundle(int megabytes) {
  static std::map<int, Bundle> bundles;
  const auto made = bundles.find(megabytes);
  return made != bundles.end() ? made->second : bundles[megabytes] = MakeBundle(megabytes);
}

int Run(const Spawn& spawn) {
  std::vector<char*> argv;
  for (const std::string& argument : spawn.argv)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0)
    return -1;
  if (child == 0) {
    for (const auto& [name, value] : spawn.env)
      setenv(name.c_str(), value.c_str(), 1);
    if (!spawn.directory.empty() && chdir(spawn.directory.c_str()) != 0)
      _exit(126);
    if (spawn.quiet) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Capture(const std::string& command) {
  std::fflush(nullptr);
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return std::string();
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int Main(int argc, char** argv, const std::function<void()>& registerBenchmarks) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--orvanta_corpus=smoke")
      smoke = true;
    else if (argument == "--orvanta_corpus=full")
      smoke = false;
    else
      rest.push_back(argv[i]);
  }
  int count = static_cast<int>(rest.size());
  rest.push_back(nullptr);
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data()))
    return 2;
  int status = 0;
  try {
    registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    status = failed ? 1 : 0;
  } catch (const std::exception& error) {
    std::cerr << argv[0] << ": " << error.what() << '\n';
    status = 1;
  }
  benchmark::Shutdown();
  if (removeCorpusDir) {
    std::error_code ignored;
    stdfs::remove_all(corpusDir, ignored);
  }
  return status;
}

} // namespace orvanta::bench
