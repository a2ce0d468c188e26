// The update program end to end on the generated bundle (two zip archives of the two application
// bundles), with recording stubs for launchctl and killall, beside a plain shell script doing the
// same work: the one-second sleep, the same commands through sh with the same stubs, both
// extractions, the renames and the removal of the old bundles and the archives.
#include "AgentControl.h"
#include "BenchSupport.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

using namespace orvanta::bench;
namespace stdfs = std::filesystem;

struct Sandbox {
  std::string root, stubs, log, home, work, script;
};

void WriteExecutable(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  stdfs::permissions(path, stdfs::perms::owner_all | stdfs::perms::group_read |
                               stdfs::perms::group_exec | stdfs::perms::others_read |
                               stdfs::perms::others_exec);
}

// The shell's version of an update run in which both archives supply both bundles.
std::string Script() {
  using namespace orvanta::agent;
  std::string text = "#!/bin/sh\n# usage: update.sh FOLDER FIRST-ARCHIVE SECOND-ARCHIVE\n"
                     "folder=$1\n";
  text += std::string(kPerUserUnload) + "\n";
  for (const char* kill : kKillSequence)
    text += std::string(kill) + "\n";
  text += "sleep 1\n"
          "mv \"$folder/orvantaes.app\" \"$folder/orvantaes.app.1\"\n"
          "mv \"$folder/orvantaet.app\" \"$folder/orvantaet.app.1\"\n"
          "unzip -o \"$folder/$3\" -d \"$folder\"\n"
          "unzip -o \"$folder/$2\" -d \"$folder\"\n"
          "rm -rf \"$folder/orvantaes.app.1\" \"$folder/orvantaet.app.1\" \"$folder/$2\" "
          "\"$folder/$3\"\n";
  text += std::string(kPerUserReload) + "\n";
  return text;
}

const Sandbox& TheSandbox() {
  static const Sandbox sandbox = [] {
    Sandbox s;
    s.root = CorpusDir() + "/update-sandbox";
    stdfs::remove_all(s.root);
    s.stubs = s.root + "/stubs";
    s.log = s.stubs + "/calls.log";
    s.home = s.root + "/home";
    s.work = s.root + "/work";
    s.script = s.root + "/update.sh";
    stdfs::create_directories(s.stubs);
    stdfs::create_directories(s.home);
    std::ofstream(s.log).flush();
    for (const char* tool : {"launchctl", "killall"})
      WriteExecutable(s.stubs + "/" + tool, std::string("#!/bin/sh\nprintf '%s\\n' \"") + tool +
                                                " $*\" >> " + Quote(s.log) + "\nexit 0\n");
    WriteExecutable(s.script, Script());
    return s;
  }();
  return sandbox;
}

int LogLines() {
  std::ifstream in(TheSandbox().log);
  int lines = 0;
  for (std::string line; std::getline(in, line);)
    ++lines;
  return lines;
}

// The folder as update finds it: both installed bundles and both archives. Written and flushed
// to disk before the clock runs, so that neither side pays for the other's write-back.
void Prepare() {
  const Sandbox& s = TheSandbox();
  const Bundle& bundle = TheBundle();
  stdfs::remove_all(s.work);
  if (Run({{"cp", "-a", bundle.installed, s.work}, {}, ""}) != 0)
    throw std::runtime_error("cannot copy the installed bundles");
  stdfs::create_hard_link(bundle.firstArchive, s.work + "/first.zip");
  stdfs::create_hard_link(bundle.secondArchive, s.work + "/second.zip");
  sync();
}

// After a successful run the folder holds the two new bundles and nothing else.
bool Updated() {
  std::set<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(TheSandbox().work))
    names.insert(entry.path().filename().string());
  return names == std::set<std::string>{"orvantaes.app", "orvantaet.app"};
}

void Measure(benchmark::State& state, const Spawn& spawn) {
  const Sandbox& s = TheSandbox();
  int failures = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Prepare();
    const int linesBefore = LogLines();
    state.ResumeTiming();
    const int status = Run(spawn);
    state.PauseTiming();
    // unload, the kill sequence and the reload went to the stubs, and the bundles were replaced.
    if (status != 0 || LogLines() - linesBefore != 6 || !Updated())
      ++failures;
    state.ResumeTiming();
  }
  stdfs::remove_all(s.work);
  if (failures != 0)
    Fail(state, std::to_string(failures) + " runs did not update the folder");
}

std::map<std::string, std::string> Environment() {
  const Sandbox& s = TheSandbox();
  return {{"PATH", s.stubs + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"}, {"HOME", s.home}};
}

void Ours(benchmark::State& state) {
  Measure(
      state,
      {{ORVANTA_UPDATE_BINARY, TheSandbox().work, "first.zip", "second.zip"}, Environment(), ""});
}

void ShellScript(benchmark::State& state) {
  Measure(state, {{"/bin/sh", TheSandbox().script, TheSandbox().work, "first.zip", "second.zip"},
                  Environment(),
                  ""});
}

std::string BundleLabel() {
  const Bundle& bundle = TheBundle();
  char label[96];
  std::snprintf(label, sizeof label, "2_zips_%.1f+%.1fMB_%d_files",
                static_cast<double>(bundle.firstBytes) / 1e6,
                static_cast<double>(bundle.secondBytes) / 1e6, bundle.files);
  return label;
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    const std::string input = BundleLabel();
    // Each run takes seconds: one iteration per repetition; ask for repetitions to get several.
    benchmark::RegisterBenchmark(("update/ours/" + input).c_str(), Ours)
        ->UseRealTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("update/shell_script/" + input).c_str(), ShellScript)
        ->UseRealTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  });
}
