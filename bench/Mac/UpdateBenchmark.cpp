// The update program end to end on the generated bundles (two zip archives of the two application
// bundles, about 50 MB and about 200 MB together), with recording stubs for launchctl and
// killall, beside a plain shell script doing the same durable work in the same order (see
// Script). The stubs stamp each call, so the agent's downtime, from the unload to the reload, is
// reported beside the whole run: it must not grow with the archives. Last, the run at 50 MB with
// no log socket at all, beside the same run with a log service that reads and with one that has
// stopped reading: a run without a log service must not be the slower one.
#include "AgentControl.h"
#include "BenchSupport.h"
#include "LogService.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

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

// The shell's version of an update run in which both archives supply both bundles, doing what
// update does in its order: the lock on the folder, a look for a killed run's record, a private
// staging folder inside the folder, the record written durably, both extractions into the
// staging folder with the agent still running, a look for links, one flush of the file system,
// the record rewritten, then the stop phase with its probe, the swap by renames and the reload;
// after it the swap made durable, the record rewritten and the clean-up.
std::string Script() {
  using namespace orvanta::agent;
  std::string text = "#!/bin/sh\n# usage: update.sh FOLDER FIRST-ARCHIVE SECOND-ARCHIVE\n"
                     "folder=$1\n"
                     "exec 9<\"$folder\"\n"
                     "flock -n 9 || exit 75\n"
                     "record() { # stage: written to a draft, flushed, renamed, folder flushed\n"
                     "  printf 'record\\n%s\\n%s\\n' \"$1\" \"$staging\" >\"$folder/.record.new\"\n"
                     "  sync \"$folder/.record.new\"\n"
                     "  mv \"$folder/.record.new\" \"$folder/.record\"\n"
                     "  sync \"$folder\"\n"
                     "}\n"
                     "[ -e \"$folder/.record\" ] && exit 1\n"
                     "staging=$(mktemp -d \"$folder/.staging-XXXXXXXXXX\")\n"
                     "record extracting\n"
                     "unzip -o \"$folder/$3\" -d \"$staging\" </dev/null\n"
                     "unzip -o \"$folder/$2\" -d \"$staging\" </dev/null\n"
                     "find \"$staging\" -type l >/dev/null\n"
                     "sync -f \"$staging\"\n"
                     "record swapping\n";
  text += std::string(kPerUserUnload) + "\n";
  for (const char* kill : kKillSequence)
    text += std::string(kill) + "\n";
  text += "pgrep -x -U \"$(id -u)\" 'orvantae[st]' >/dev/null\n"
          "mv \"$folder/orvantaes.app\" \"$folder/orvantaes.app.1\"\n"
          "mv \"$folder/orvantaet.app\" \"$folder/orvantaet.app.1\"\n"
          "mv \"$staging/orvantaes.app\" \"$folder/orvantaes.app\"\n"
          "mv \"$staging/orvantaet.app\" \"$folder/orvantaet.app\"\n";
  text += std::string(kPerUserReload) + "\n";
  text += "sync \"$folder\"\n"
          "record installed\n"
          "rm -rf \"$folder/orvantaes.app.1\" \"$folder/orvantaet.app.1\" \"$folder/$2\" "
          "\"$folder/$3\" \"$staging\" \"$folder/.record\"\n";
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
      WriteExecutable(s.stubs + "/" + tool,
                      std::string("#!/bin/sh\nprintf '%s %s\\n' \"$(date +%s%N)\" \"") + tool +
                          " $*\" >> " + Quote(s.log) + "\nexit 0\n");
    WriteExecutable(s.script, Script());
    return s;
  }();
  return sandbox;
}

// The stubs' log: one line per call, "NANOSECONDS tool arguments".
std::vector<std::string> LogLines() {
  std::ifstream in(TheSandbox().log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// How long the agent was down in one run: from the unload call to the reload call, in seconds;
// negative when the calls are not in the log.
double UnloadToReload(const std::vector<std::string>& calls) {
  // The shell has expanded the commands' "~": the calls are told apart by their first words.
  const auto timeOf = [&](const std::string& start) {
    for (const std::string& line : calls) {
      const std::size_t space = line.find(' ');
      if (space != std::string::npos && line.compare(space + 1, start.size(), start) == 0)
        return std::stod(line.substr(0, space)) / 1e9;
    }
    return -1.0;
  };
  const double unload = timeOf("launchctl unload ");
  const double reload = timeOf("launchctl load ");
  return unload < 0 || reload < 0 ? -1.0 : reload - unload;
}

// The folder as update finds it: both installed bundles and both archives. Written and flushed
// to disk before the clock runs, so that neither side pays for the other's write-back.
void Prepare(const Bundle& bundle) {
  const Sandbox& s = TheSandbox();
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

void Measure(benchmark::State& state, const Spawn& spawn, const Bundle& bundle) {
  const Sandbox& s = TheSandbox();
  int failures = 0;
  double downtime = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Prepare(bundle);
    const std::size_t linesBefore = LogLines().size();
    state.ResumeTiming();
    const int status = Run(spawn);
    state.PauseTiming();
    // unload, the kill sequence and the reload went to the stubs, and the bundles were replaced.
    std::vector<std::string> calls = LogLines();
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(linesBefore));
    const double down = UnloadToReload(calls);
    if (status != 0 || calls.size() != 6 || !Updated() || down < 0)
      ++failures;
    downtime += down;
    state.ResumeTiming();
  }
  stdfs::remove_all(s.work);
  if (failures != 0)
    Fail(state, std::to_string(failures) + " runs did not update the folder");
  // The agent's downtime, which the table reports beside the whole run.
  state.counters["unload_to_reload_s"] =
      benchmark::Counter(downtime, benchmark::Counter::kAvgIterations);
}

std::map<std::string, std::string> Environment() {
  const Sandbox& s = TheSandbox();
  return {{"PATH", s.stubs + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"}, {"HOME", s.home}};
}

// Both sizes, nominally: the inputs the report's rows name.
constexpr int kSizes[] = {50, 200};

std::string SizeLabel(int megabytes) {
  return "2_zips_" + std::to_string(megabytes) + "MB";
}

void Ours(benchmark::State& state, int megabytes) {
  Measure(
      state,
      {{ORVANTA_UPDATE_BINARY, TheSandbox().work, "first.zip", "second.zip"}, Environment(), ""},
      TheBundle(megabytes));
}

void ShellScript(benchmark::State& state, int megabytes) {
  Measure(state,
          {{"/bin/sh", TheSandbox().script, TheSandbox().work, "first.zip", "second.zip"},
           Environment(),
           ""},
          TheBundle(megabytes));
}

// The run with /dev/log as the case makes it, in a private /dev: these cases run last, as from
// the first of them on the whole process has that /dev.
void WithLogService(benchmark::State& state, LogSocket socket) {
  if (const std::string refused = EnterPrivateDev(); !refused.empty()) {
    state.SkipWithError(("this machine refused a private /dev: " + refused).c_str());
    return;
  }
  LogService service(socket);
  if (!service.ready())
    return Fail(state, "cannot make /dev/log");
  Ours(state, 50);
  // The downtime is the plain run's row; these runs only compare the whole run.
  state.counters.erase("unload_to_reload_s");
  if (socket == LogSocket::kReading &&
      (!service.Received() || service.FirstRecord().find("orvanta-update[") == std::string::npos))
    Fail(state, "the reading log service got no record of update's");
  if (socket == LogSocket::kStuck && !service.Received())
    Fail(state, "the stuck log socket got no record of update's");
}

} // namespace

int main(int argc, char** argv) {
  return Main(argc, argv, [] {
    for (const int megabytes : kSizes) {
      const Bundle& bundle = TheBundle(megabytes);
      std::fprintf(stderr, "update bundle %s: %.1f+%.1f MB, %d files\n",
                   SizeLabel(megabytes).c_str(), static_cast<double>(bundle.firstBytes) / 1e6,
                   static_cast<double>(bundle.secondBytes) / 1e6, bundle.files);
      // Each run takes seconds: one iteration per repetition; ask for repetitions to get several.
      benchmark::RegisterBenchmark(("update/ours/" + SizeLabel(megabytes)).c_str(), Ours, megabytes)
          ->UseRealTime()
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("update/shell_script/" + SizeLabel(megabytes)).c_str(),
                                   ShellScript, megabytes)
          ->UseRealTime()
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
    const std::pair<const char*, LogSocket> services[] = {
        {"update_log_service/ours/", LogSocket::kNone},
        {"update_log_service/reading_log_socket/", LogSocket::kReading},
        {"update_log_service/stuck_log_socket/", LogSocket::kStuck}};
    for (const auto& [name, socket] : services)
      benchmark::RegisterBenchmark((name + SizeLabel(50)).c_str(), WithLogService, socket)
          ->UseRealTime()
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
  });
}
