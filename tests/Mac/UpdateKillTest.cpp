// update killed outright (SIGKILL) at instants spread over a run, at each call of the stop phase,
// at each rename it makes (strace injects the kill as the call begins), while it cleans up after a
// failed swap, and while it settles a killed run: the bundle names must hold exactly the previous
// pair or exactly the new one (or a swap cut between its renames, the missing bundle under its
// backup name), and the next run must stop the agent first when the killed run may have unloaded
// it, install its own archives, reload the agent, and leave no trace of the killed run.
#include "AgentControl.h"
#include "TestSupport.h"
#include "Updater.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace orvanta::test;
using orvanta::agent::ShellQuote;
namespace stdfs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const char* const kBundles[] = {"orvantaes.app", "orvantaet.app"};

// A bundle big enough that extracting it takes a noticeable share of the run: many small files
// in nested folders, one large incompressible file, a relative link (or a small one like it).
void MakeBigBundle(const std::string& at, const std::string& version, unsigned seed, bool small) {
  std::mt19937 random(seed);
  for (int folder = 0; folder < (small ? 2 : 16); ++folder) {
    const std::string dir = at + "/Contents/Resources/r" + std::to_string(folder);
    MakeDirs(dir);
    for (int file = 0; file < (small ? 5 : 50); ++file)
      WriteFile(dir + "/f" + std::to_string(file),
                version + std::string(512 + random() % 4096, static_cast<char>('a' + file % 26)));
  }
  MakeDirs(at + "/Contents/MacOS");
  std::string binary(small ? 64u << 10 : 6u << 20, '\0');
  for (char& byte : binary)
    byte = static_cast<char>(random());
  WriteFile(at + "/Contents/MacOS/agent", version + binary, 0755);
  WriteFile(at + "/Contents/Info.plist", "<plist>" + version + "</plist>");
  symlink("MacOS/agent", (at + "/Contents/current").c_str());
}

// The pair of one version, laid out once: as trees to compare and as the two archives.
struct Release {
  // small: a few files, for the kills that fall on a given call rather than at a time.
  Release(const std::string& version, unsigned seed, bool small = false)
      : source("orvanta-release") {
    for (const char* bundle : kBundles) {
      MakeBigBundle(source / bundle, version, seed++, small);
      trees[bundle] = Snapshot(source / bundle);
      const std::string zip = "cd " + ShellQuote(source.path()) + " && zip -qry " +
                              ShellQuote(source / (std::string(bundle) + ".zip")) + " " + bundle;
      EXPECT_EQ(std::system(zip.c_str()), 0) << zip;
    }
  }
  std::string Archive(const char* bundle) const { return source / (std::string(bundle) + ".zip"); }
  void InstallInto(const std::string& folder) const {
    for (const char* bundle : kBundles)
      stdfs::copy(source / bundle, folder + "/" + bundle,
                  stdfs::copy_options::recursive | stdfs::copy_options::copy_symlinks);
  }
  void PlaceArchivesIn(const std::string& folder) const {
    for (const char* bundle : kBundles)
      stdfs::copy_file(Archive(bundle), folder + "/" + ArchiveName(bundle),
                       stdfs::copy_options::overwrite_existing);
  }
  static std::string ArchiveName(const char* bundle) { return std::string(bundle) + ".zip"; }

  ScratchDir source;
  std::map<std::string, Tree> trees;
};

// Where a run is killed: after a time, at a call of the stubs ("launchctl unload", "killall -9",
// "launchctl load": the first such call), or as it begins the nth call of one system call
// (strace counts each system call apart).
struct Kill {
  std::optional<double> afterSeconds;
  std::string atCall;
  std::string syscall;
  int nth = 0;
  std::string what; // for the trace
};

// The calls that change the folder: renames (the record's, the swap's, the extras') and removals.
constexpr const char* kSyscalls = "rename,renameat,renameat2,unlink,unlinkat,rmdir";

class UpdateKill : public ::testing::Test {
public:
  void SetUp() override {
    chmod(sandbox.path().c_str(), 0755);
    MakeDirs(folder);
    MakeDirs(stubs);
    // Each call is logged; the one named in KILL_AT kills the run's process group (the tools run
    // in a session of their own, so the stub survives to finish its line).
    const std::string script = "#!/bin/sh\n"
                               "printf '%s\\n' \"${0##*/} $*\" >> " +
                               ShellQuote(log) +
                               "\n"
                               "if [ -n \"$KILL_AT\" ] && [ \"$KILL_AT\" = \"${0##*/} $1\" ] && "
                               "[ ! -e " +
                               ShellQuote(fired) + " ]; then\n  : > " + ShellQuote(fired) +
                               "\n  kill -KILL -\"$(cat " + ShellQuote(pgid) +
                               ")\"\nfi\n"
                               "exit 0\n";
    for (const char* tool : {"launchctl", "killall"})
      WriteFile(stubs + "/" + tool, script, 0755);
  }
  // The update of folder with the two archives, killed as asked: timeout sends SIGKILL to the
  // whole process group (itself, update and whatever tool runs) when its limit expires.
  ProgramResult Update(const Kill& kill = {}) {
    WriteFile(log, "");
    stdfs::remove(fired);
    ProgramOptions options;
    options.env = {{"PATH", stubs + ":/usr/local/bin:/usr/bin:/bin"},
                   {"HOME", sandbox / "home"},
                   {"KILL_AT", kill.atCall}};
    const std::string pgidFile = pgid;
    options.inChild = [pgidFile] {
      setpgid(0, 0);
      WriteFile(pgidFile, std::to_string(getpid()));
    };
    const std::string update = ORVANTA_UPDATE_BINARY;
    const std::vector<std::string> run = {update, folder, Release::ArchiveName(kBundles[0]),
                                          Release::ArchiveName(kBundles[1])};
    std::string program = update;
    if (kill.afterSeconds) {
      std::ostringstream limit;
      limit << *kill.afterSeconds;
      program = "/usr/bin/timeout";
      options.arguments = {"-s", "KILL", limit.str()};
    } else if (kill.nth > 0) {
      program = "/usr/bin/strace";
      options.arguments = {"-qq",
                           "-o",
                           "/dev/null",
                           "-e",
                           "trace=" + kill.syscall,
                           "-e",
                           "inject=" + kill.syscall +
                               ":signal=KILL:when=" + std::to_string(kill.nth)};
    }
    options.arguments.insert(options.arguments.end(), run.begin() + (program == update ? 1 : 0),
                             run.end());
    return RunProgram(program, options);
  }
  // The file-system calls (of kSyscalls) of one undisturbed run, as strace shows them.
  std::vector<std::string> Syscalls() {
    const std::string trace = sandbox / "trace";
    ProgramOptions options;
    options.env = {{"PATH", stubs + ":/usr/local/bin:/usr/bin:/bin"}, {"HOME", sandbox / "home"}};
    options.arguments = {"-qq",
                         "-o",
                         trace,
                         "-e",
                         std::string("trace=") + kSyscalls,
                         ORVANTA_UPDATE_BINARY,
                         folder,
                         Release::ArchiveName(kBundles[0]),
                         Release::ArchiveName(kBundles[1])};
    RunProgram("/usr/bin/strace", options);
    std::vector<std::string> calls;
    std::istringstream lines(ReadFile(trace));
    // Only the calls: strace also shows the signals that arrive ("--- SIGCHLD ...").
    for (std::string line; std::getline(lines, line);)
      if (!line.empty() && std::islower(static_cast<unsigned char>(line[0])))
        calls.push_back(line);
    return calls;
  }
  // The kill at the call on line index of Syscalls().
  static Kill AtSyscall(const std::vector<std::string>& lines, size_t index) {
    const auto NameOf = [](const std::string& line) { return line.substr(0, line.find('(')); };
    Kill kill{std::nullopt, "", NameOf(lines[index]), 0, lines[index]};
    for (size_t i = 0; i <= index; ++i)
      kill.nth += NameOf(lines[i]) == kill.syscall ? 1 : 0;
    return kill;
  }
  // The kills at each rename from line `from` of Syscalls() on, and at the first, middle and last
  // removal that removes something.
  static std::vector<Kill> RenamesAndRemovals(const std::vector<std::string>& lines, size_t from) {
    std::vector<Kill> kills;
    std::vector<size_t> removals;
    for (size_t i = from; i < lines.size(); ++i) {
      if (lines[i].rfind("rename", 0) == 0)
        kills.push_back(AtSyscall(lines, i));
      else if (lines[i].find("ENOENT") == std::string::npos)
        removals.push_back(i);
    }
    if (!removals.empty())
      for (const size_t i : {removals.front(), removals[removals.size() / 2], removals.back()})
        kills.push_back(AtSyscall(lines, i));
    return kills;
  }
  // The folder with one release installed and another's archives, nothing else.
  void Place(const Release& installed, const Release& archives) {
    stdfs::remove_all(folder);
    MakeDirs(folder);
    installed.InstallInto(folder);
    archives.PlaceArchivesIn(folder);
  }
  // A run that finds the folder locked by a killed run's tool still at work (75) tries again, as
  // a caller honouring EX_TEMPFAIL does.
  ProgramResult UpdateWhenFree() {
    ProgramResult result = Update();
    for (int attempt = 0; result.status == 75 && attempt < 600; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      result = Update();
    }
    return result;
  }
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::istringstream lines(ReadFile(log));
    for (std::string line; std::getline(lines, line);)
      calls.push_back(line);
    return calls;
  }
  // Whether the calls leave the agent unloaded: an unload with no load after it.
  static bool LeftUnloaded(const std::vector<std::string>& calls) {
    bool unloaded = false;
    for (const std::string& call : calls) {
      if (call.rfind("launchctl unload ", 0) == 0)
        unloaded = true;
      if (call.rfind("launchctl load ", 0) == 0)
        unloaded = false;
    }
    return unloaded;
  }
  // The folder's entries other than the two bundles, names only.
  std::vector<std::string> OtherEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : stdfs::directory_iterator(folder)) {
      const std::string name = entry.path().filename();
      if (name != kBundles[0] && name != kBundles[1])
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Which release each bundle name holds: "old", "new", "none" or "other".
  std::string PairState(const Release& previous, const Release& next) const {
    std::string state;
    for (const char* bundle : kBundles) {
      const std::string at = folder + "/" + bundle;
      const Tree tree = stdfs::exists(at) ? Snapshot(at) : Tree{};
      state += std::string(state.empty() ? "" : "+") + (!stdfs::exists(at)                  ? "none"
                                                        : tree == previous.trees.at(bundle) ? "old"
                                                        : tree == next.trees.at(bundle)     ? "new"
                                                                                        : "other");
    }
    return state;
  }
  // The bundle names after a kill: a whole pair, or a swap cut between its renames with each
  // missing bundle under a backup name.
  void ExpectWholeOrMidSwap(const Release& previous, const Release& next) const {
    const std::string state = PairState(previous, next);
    if (state == "old+old" || state == "new+new")
      return;
    bool midSwap = state.find("other") == std::string::npos;
    for (const char* bundle : kBundles) {
      if (stdfs::exists(folder + "/" + bundle))
        continue;
      bool backedUp = false;
      for (const auto& entry : stdfs::directory_iterator(folder))
        backedUp |= entry.path().filename().string().rfind(std::string(bundle) + ".", 0) == 0;
      midSwap &= backedUp;
    }
    EXPECT_TRUE(midSwap) << "bundles left as " << state;
  }
  // The run after a killed one (whose calls are given), with newer archives under the same names:
  // it stops the agent before anything else when the killed run left it unloaded, installs the
  // archives, reloads the agent last, and leaves nothing of the killed run.
  void ExpectNextRunRecovers(const std::vector<std::string>& killedCalls, const Release& newer,
                             const std::vector<std::string>& unrelated) {
    newer.PlaceArchivesIn(folder);
    const ProgramResult next = UpdateWhenFree();
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(PairState(newer, newer), "old+old") << "the next run did not install its archives";
    EXPECT_EQ(OtherEntries(), unrelated);
    const std::vector<std::string> calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().rfind("launchctl load ", 0), 0u) << calls.back();
    if (LeftUnloaded(killedCalls)) {
      // The agent was stopped and reloaded for the recovery, then again for the swap.
      EXPECT_EQ(std::count_if(
                    calls.begin(), calls.end(),
                    [](const std::string& call) { return call.rfind("launchctl load ", 0) == 0; }),
                2);
      EXPECT_EQ(calls.front().rfind("launchctl unload ", 0), 0u);
    }
  }

  ScratchDir sandbox{"orvanta-kill"};
  const std::string stubs = sandbox / "stubs", log = stubs + "/calls.log",
                    fired = sandbox / "fired", pgid = sandbox / "pgid";
  std::string folder = sandbox / "apps";
};

const std::vector<std::string> kUnrelated = {"notes.txt", "plugins"};

TEST_F(UpdateKill, EveryInstantLeavesAWholePairAndTheNextRunRecovers) {
  const Release v1("v1", 100), v2("v2", 200), v3("v3", 300);

  const auto PrepareFolder = [&] {
    stdfs::remove_all(folder);
    MakeDirs(folder + "/plugins");
    WriteFile(folder + "/notes.txt", "keep me");
    WriteFile(folder + "/plugins/p", "keep me too");
    v1.InstallInto(folder);
    v2.PlaceArchivesIn(folder);
  };
  // Undisturbed runs tell how long a run takes on this machine; the shorter of two, so that the
  // instants fall inside the runs that follow even when the machine's load eases.
  double runSeconds = 1e9;
  for (int run = 0; run < 2; ++run) {
    PrepareFolder();
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult whole = Update();
    runSeconds =
        std::min(runSeconds,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_EQ(PairState(v1, v2), "new+new");
    ASSERT_EQ(OtherEntries(), kUnrelated);
  }

  std::vector<Kill> kills;
  // Instants spread over the run: one drawn in each of kInstants equal slices (fixed seed).
  constexpr int kInstants = 12;
  std::mt19937 random(20261210);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  for (int slice = 0; slice < kInstants; ++slice) {
    const double instant = runSeconds * (slice + within(random)) / kInstants;
    kills.push_back({instant, "", "", 0, "killed after " + std::to_string(instant) + " s"});
  }

  int killed = 0;
  for (const Kill& kill : kills) {
    SCOPED_TRACE(kill.what);
    PrepareFolder();
    const ProgramResult result = Update(kill);
    killed += result.status == 128 + SIGKILL ? 1 : 0;
    ExpectWholeOrMidSwap(v1, v2);
    ExpectNextRunRecovers(Calls(), v3, kUnrelated);
  }
  // The instants must really have cut runs short, not let most of them finish.
  EXPECT_GE(killed, static_cast<int>(kills.size()) * 2 / 3);
}

// Killed as it begins each rename (the record's and the swap's), at the first, middle and last
// removal of its clean-up, and at each step of the stop phase.
TEST_F(UpdateKill, KillAtEachRenameAndInTheCleanUp) {
  const Release v1("v1", 100, true), v2("v2", 200, true), v3("v3", 300, true);
  Place(v1, v2);
  std::vector<Kill> kills = RenamesAndRemovals(Syscalls(), 0);
  ASSERT_GE(kills.size(), 10u) << "the run made too few renames";
  // The stop phase, begun while the agent ran: at the unload, amid the kill sequence, at the
  // reload.
  for (const char* call : {"launchctl unload", "killall -9", "launchctl load"})
    kills.push_back({std::nullopt, call, "", 0, call});
  for (const Kill& kill : kills) {
    SCOPED_TRACE("killed at " + kill.what);
    Place(v1, v2);
    const ProgramResult result = Update(kill);
    EXPECT_EQ(result.status, 128 + SIGKILL) << result.err;
    ExpectWholeOrMidSwap(v1, v2);
    ExpectNextRunRecovers(Calls(), v3, {});
  }
}

// A killed run's settling killed in turn, at each of its renames: the run after it still puts
// a whole pair together.
TEST_F(UpdateKill, KillDuringRecoveryIsSettledByTheNextRun) {
  const Release v1("v1", 100, true), v2("v2", 200, true), v3("v3", 300, true);
  // Where the companion moves to its backup: a run killed there has moved the service only.
  Place(v1, v2);
  const std::vector<std::string> runCalls = Syscalls();
  size_t companionToBackup = 0;
  while (companionToBackup < runCalls.size() &&
         runCalls[companionToBackup].find("orvantaet.app\", \"") == std::string::npos)
    ++companionToBackup;
  ASSERT_LT(companionToBackup, runCalls.size());
  const Kill midSwap = AtSyscall(runCalls, companionToBackup);
  const auto KilledMidSwap = [&] {
    Place(v1, v2);
    const ProgramResult result = Update(midSwap);
    ASSERT_EQ(result.status, 128 + SIGKILL) << result.err;
    ASSERT_EQ(PairState(v1, v2), "none+old");
    v3.PlaceArchivesIn(folder);
  };
  KilledMidSwap();
  const std::vector<std::string> recoveryCalls = Syscalls();
  std::vector<Kill> kills;
  for (size_t i = 0; i < recoveryCalls.size() && kills.size() < 5; ++i)
    if (recoveryCalls[i].rfind("rename", 0) == 0)
      kills.push_back(AtSyscall(recoveryCalls, i));
  for (const Kill& kill : kills) {
    SCOPED_TRACE("recovery killed at " + kill.what);
    KilledMidSwap();
    const ProgramResult recovering = Update(kill);
    EXPECT_EQ(recovering.status, 128 + SIGKILL) << recovering.err;
    ExpectWholeOrMidSwap(v1, v2);
    ExpectNextRunRecovers(Calls(), v3, {});
  }
}

// A rename of the swap fails (an immutable bundle), and the run is killed at each step of putting
// things back and cleaning up: the next run must not take the half-removed staged tree for a pair
// to install, even when it installs nothing of its own.
TEST_F(UpdateKill, KillWhileAFailedSwapIsCleanedUp) {
  const Release v1("v1", 100, true), v2("v2", 200, true), v3("v3", 300, true);
  const std::string companion = folder + "/" + kBundles[1];
  const auto SetImmutable = [&](bool on) {
    return std::system(("chattr " + std::string(on ? "+i " : "-i ") + ShellQuote(companion) +
                        " 2>/dev/null")
                           .c_str()) == 0;
  };
  const auto Prepare = [&] {
    SetImmutable(false);
    Place(v1, v2);
    return SetImmutable(true);
  };
  if (!Prepare())
    GTEST_SKIP() << "this file system does not let chattr +i make a folder immutable";
  const std::vector<std::string> syscalls = Syscalls();
  size_t failed = 0;
  while (failed < syscalls.size() && syscalls[failed].find("EPERM") == std::string::npos)
    ++failed;
  ASSERT_LT(failed, syscalls.size()) << "the swap's rename did not fail";
  // Every step of putting things back and cleaning up after the failing rename.
  const std::vector<Kill> kills = RenamesAndRemovals(syscalls, failed + 1);
  ASSERT_GE(kills.size(), 4u);
  for (const Kill& kill : kills) {
    SCOPED_TRACE("killed at " + kill.what);
    ASSERT_TRUE(Prepare());
    const ProgramResult result = Update(kill);
    EXPECT_EQ(result.status, 128 + SIGKILL) << result.err;
    const std::vector<std::string> killedCalls = Calls();
    SetImmutable(false);
    // Never the new pair: a kill before the service is back leaves it under its backup name.
    ExpectWholeOrMidSwap(v1, v2);
    EXPECT_EQ(PairState(v1, v2).find("new"), std::string::npos);
    // A next run whose own archives are no archives shows what its settling left: a whole pair
    // (the new one only if the kill came before the way back was recorded), nothing else, and
    // the agent reloaded if the killed run had unloaded it.
    for (const char* bundle : kBundles)
      WriteFile(folder + "/" + Release::ArchiveName(bundle), "not an archive");
    const ProgramResult settling = UpdateWhenFree();
    EXPECT_EQ(settling.status, 3) << settling.err;
    const std::string state = PairState(v1, v2);
    EXPECT_TRUE(state == "old+old" || state == "new+new") << state;
    EXPECT_EQ(OtherEntries(), std::vector<std::string>{});
    const std::vector<std::string> settlingCalls = Calls();
    if (LeftUnloaded(killedCalls)) {
      ASSERT_FALSE(settlingCalls.empty());
      EXPECT_EQ(settlingCalls.front().rfind("launchctl unload ", 0), 0u);
      EXPECT_FALSE(LeftUnloaded(settlingCalls));
    }
    ExpectNextRunRecovers(settlingCalls, v3, {});
  }
}

} // namespace
