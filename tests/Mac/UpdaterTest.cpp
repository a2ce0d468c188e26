// The update sequence against a recording runner and a fake clock, on a real scratch folder.
#include "Updater.h"
#include "AgentControl.h"
#include "CommandLine.h"
#include "RecordingServices.h"
#include "Staging.h"
#include "TestSupport.h"
#include "UpdateRecord.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

namespace {

using namespace orvanta::agent;
using orvanta::test::MakeDirs;
using orvanta::test::RecordingServices;
using orvanta::test::ScratchDir;
using orvanta::test::Snapshot;
using orvanta::test::WriteFile;

// The folder after a successful run: the two bundles of the archives (version "v2"), nothing else.
std::map<std::string, std::string> NewPair() {
  return {{"orvantaes.app", "dir"},
          {"orvantaes.app/Contents", "dir"},
          {"orvantaes.app/Contents/Info.plist", "file: v2"},
          {"orvantaet.app", "dir"},
          {"orvantaet.app/Contents", "dir"},
          {"orvantaet.app/Contents/Info.plist", "file: v2"}};
}

std::vector<std::string> KillSequence() {
  return {kKillSequence.begin(), kKillSequence.end()};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> StopPhase(int killSequences = 1) {
  std::vector<std::string> commands{kPerUserUnload};
  for (int i = 0; i < killSequences; ++i)
    commands = Concat({commands, KillSequence()});
  return commands;
}

class UpdaterTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = scratch.path();
    MakeBundle("orvantaes.app", "v1");
    MakeBundle("orvantaet.app", "v1");
    WriteFile(scratch / "first.zip", "zip 1");
    WriteFile(scratch / "second.zip", "zip 2");
    // "Extraction" puts a new bundle where unzip was told to, as a good unzip would.
    services.onCommand = [this](const std::string& command) {
      if (onAnyCommand)
        onAnyCommand(command);
      if (command.rfind("unzip ", 0) != 0)
        return;
      staging = StagingOf(command);
      if (onUnzip)
        onUnzip();
      if (extracts) {
        const bool second = command.find("second.zip") != std::string::npos;
        MakeBundle(staging + "/" + (second ? "orvantaet.app" : "orvantaes.app"), "v2");
      }
    };
  }
  // The folder after " -d " in an unzip command, unquoted (the tests' paths hold no quote).
  static std::string StagingOf(const std::string& command) {
    const size_t at = command.rfind(" -d '") + 5;
    return command.substr(at, command.size() - at - 1);
  }
  // A run killed mid-swap: its staged pair (v1.5) whole, the service bundle moved to its backup.
  void KilledMidSwap() {
    const std::string killed = kStagingPrefix + std::string("AAAAAAAAAA");
    MakeBundle(killed + "/orvantaes.app", "v1.5");
    MakeBundle(killed + "/orvantaet.app", "v1.5");
    std::filesystem::rename(scratch / "orvantaes.app", scratch / "orvantaes.app.7");
    ASSERT_EQ(WriteRecord(folder, {RunStage::Swapping, killed, 7, {true, true}}), Problems{});
  }
  void MakeBundle(const std::string& name, const std::string& version) {
    const std::string at = name[0] == '/' ? name : scratch / name;
    MakeDirs(at + "/Contents");
    WriteFile(at + "/Contents/Info.plist", version);
  }
  int Run(const std::vector<std::string>& arguments) {
    RunLog log = services.Log();
    return RunUpdate(arguments, services, out, errors, log);
  }
  // Both unzips target one fresh private folder directly inside the folder.
  std::vector<std::string> Unzips() const {
    EXPECT_EQ(std::filesystem::path(staging).parent_path(), folder);
    EXPECT_EQ(std::filesystem::path(staging).filename().string().rfind(kStagingPrefix, 0), 0u);
    return {UnzipCommand(scratch / "second.zip", staging),
            UnzipCommand(scratch / "first.zip", staging)};
  }
  // The longest sleep of the run, in milliseconds.
  long LongestSleep() const {
    long longest = 0;
    for (const std::string& event : services.events)
      if (event.rfind("sleep ", 0) == 0)
        longest = std::max(longest, std::stol(event.substr(6)) *
                                        (event.find("ms") == std::string::npos ? 1000 : 1));
    return longest;
  }

  ScratchDir scratch;
  std::string folder;
  RecordingServices services;
  std::ostringstream out, errors;
  bool extracts = true;
  std::function<void()> onUnzip; // runs at each unzip, before it "extracts"
  std::function<void(const std::string&)> onAnyCommand;
  std::string staging; // the folder the last unzip extracted into
  int held = -1;       // a descriptor of the folder that a row locks
};

// The pair is staged and judged while the agent runs; it is stopped only for the swap.
TEST_F(UpdaterTest, AgentStoppedOnlyForTheSwap) {
  onAnyCommand = [this](const std::string& command) {
    // At the unload the staged pair is whole and the live bundles still the previous ones.
    if (command == kPerUserUnload) {
      EXPECT_EQ(orvanta::test::ReadFile(staging + "/orvantaes.app/Contents/Info.plist"), "v2");
      EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaes.app/Contents/Info.plist"), "v1");
    }
    // At the reload the new pair is in place; the backups are still there.
    if (command == kPerUserReload) {
      EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaet.app/Contents/Info.plist"), "v2");
      EXPECT_FALSE(Snapshot(folder).empty());
    }
  };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
  EXPECT_EQ(services.commands, Concat({Unzips(), StopPhase(), {kPerUserReload}}));
  EXPECT_EQ(services.now.count(), 0);
  EXPECT_EQ(services.probes, 1);
  EXPECT_EQ(Snapshot(folder), NewPair());
  EXPECT_EQ(errors.str(), "");
}

// Probes every 50 ms at most, the kill sequence again every second while the agent runs, and
// after 11 s the update goes on regardless.
TEST_F(UpdaterTest, StopPhaseProbesOftenAndKillsEverySecond) {
  const struct {
    const char* name;
    long stopsAtMs; // the agent is gone from this fake time on; -1 never
    int killSequences;
    long endMs; // the fake time when the stop phase ends
  } cases[] = {
      {"gone after three probes", 150, 1, 150},
      {"gone after 2.5 s", 2500, 3, 2500},
      {"never gone", -1, 11, 11000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    services = RecordingServices();
    SetUp();
    RecordingServices& fresh = services;
    fresh.agentRunning = [&fresh, c](int, unsigned) {
      return c.stopsAtMs < 0 || fresh.now.count() < c.stopsAtMs;
    };
    EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
    EXPECT_EQ(fresh.commands, Concat({Unzips(), StopPhase(c.killSequences), {kPerUserReload}}));
    EXPECT_EQ(fresh.now.count(), c.endMs);
    EXPECT_LE(LongestSleep(), 50);
    EXPECT_EQ(Snapshot(folder), NewPair());
  }
}

TEST(ParseUpdateArguments, UsageErrorsAndOperands) {
  using Kind = UpdateRequest::Kind;
  const struct {
    std::vector<std::string> arguments;
    Kind kind;
    const char* folder;
  } cases[] = {
      {{"apps", "a.zip", "b.zip"}, Kind::Update, "apps"},
      {{"--check", "apps", "a.zip", "b.zip"}, Kind::Check, "apps"},
      {{"apps", "a.zip", "b.zip", "--check"}, Kind::Check, "apps"},
      {{"--", "-apps", "a.zip", "b.zip"}, Kind::Update, "-apps"},
      {{"--check", "--", "--check", "a.zip", "b.zip"}, Kind::Check, "--check"},
      {{"-", "a.zip", "b.zip"}, Kind::Update, "-"},
      {{"-h"}, Kind::Help, ""},
      {{"--help"}, Kind::Help, ""},
      {{"--version"}, Kind::Version, ""},
      {{}, Kind::Usage, ""},
      {{"apps"}, Kind::Usage, ""},
      {{"apps", "a.zip"}, Kind::Usage, ""},
      {{"apps", "a.zip", "b.zip", "c.zip"}, Kind::Usage, ""},
      {{"", "a.zip", "b.zip"}, Kind::Usage, ""},
      {{"apps", "", "b.zip"}, Kind::Usage, ""},
      {{"apps", "a.zip", ""}, Kind::Usage, ""},
      {{"-apps", "a.zip", "b.zip"}, Kind::Usage, ""},
      {{"--helpx"}, Kind::Usage, ""},
      {{"-H"}, Kind::Usage, ""},
      {{"--", "--help"}, Kind::Usage, ""},
      {{"--help", "apps", "a.zip", "b.zip"}, Kind::Usage, ""},
      {{"apps", "--version"}, Kind::Usage, ""},
      {{"--check", "--check", "apps", "a.zip", "b.zip"}, Kind::Usage, ""},
      {{"--check", "apps", "a.zip"}, Kind::Usage, ""},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& argument : c.arguments)
      line += "[" + argument + "]";
    SCOPED_TRACE(line);
    const UpdateRequest request = ParseUpdateArguments(c.arguments);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.folder, c.folder);
    EXPECT_EQ(request.problem.empty(), c.kind != Kind::Usage);
  }
}

// Nothing runs; the refusal is logged. The info requests are answered and not logged.
TEST_F(UpdaterTest, UsageErrorRunsNothing) {
  const auto before = Snapshot(folder);
  const struct {
    std::vector<std::string> arguments;
    std::string start, problem;
  } cases[] = {
      {{}, "", "expected FOLDER FIRST-ARCHIVE SECOND-ARCHIVE, got 0 operands"},
      {{"apps", "first.zip"},
       " 'apps' 'first.zip'",
       "expected FOLDER FIRST-ARCHIVE SECOND-ARCHIVE, got 2 operands"},
      {{"--helpx"},
       " '--helpx'",
       "unknown option '--helpx' (put -- before an operand that begins with -)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    RecordingServices fresh;
    std::ostringstream lines, nothing;
    RunLog log = fresh.Log();
    EXPECT_EQ(RunUpdate(c.arguments, fresh, nothing, lines, log), 2);
    EXPECT_EQ(fresh.commands, std::vector<std::string>{});
    EXPECT_EQ(lines.str(), "update: " + c.problem + "\n\n" + kUpdateUsage);
    EXPECT_EQ(nothing.str(), "");
    EXPECT_EQ(fresh.events, (std::vector<std::string>{
                                "log: start: update" + c.start + " (version " + Version() + ")",
                                "log: refused the command line: " + c.problem,
                                "log: end: usage error, nothing done; exit status 2; 0.00 s"}));
  }
  for (const char* request : {"--help", "--version"}) {
    RecordingServices fresh;
    std::ostringstream answer, nothing;
    RunLog log = fresh.Log();
    EXPECT_EQ(RunUpdate({request}, fresh, answer, nothing, log), 0);
    EXPECT_EQ(fresh.events, std::vector<std::string>{}) << request;
  }
  EXPECT_EQ(Snapshot(folder), before);
}

TEST_F(UpdaterTest, UntrustedRecordOfAKilledRunStopsTheRun) {
  // Whatever stands at the record's name and is no record written by a run: nothing is touched,
  // the agent included.
  for (const char* record : {"garbage\n", ""}) {
    WriteFile(scratch / kRecordName, record);
    const auto before = Snapshot(folder);
    RecordingServices fresh;
    std::ostringstream lines;
    RunLog log = fresh.Log();
    EXPECT_EQ(RunUpdate({folder, "first.zip", "second.zip"}, fresh, out, lines, log), 1);
    EXPECT_EQ(fresh.commands, std::vector<std::string>{});
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_NE(lines.str().find(kRecordName), std::string::npos) << lines.str();
  }
}

TEST_F(UpdaterTest, KilledRunIsSettledBeforeTheRunsOwnWork) {
  // Killed mid-swap: the service bundle had gone to its backup, the staged pair was whole. The
  // agent may be unloaded: it is stopped before any bundle moves and reloaded once the pair is
  // whole, before this run stages its own.
  KilledMidSwap();
  onAnyCommand = [&](const std::string& command) {
    if (command == kPerUserUnload && services.commands.empty()) {
      EXPECT_TRUE(std::filesystem::exists(scratch / "orvantaes.app.7"));
    }
  };
  std::string stagedAtFirstUnzip;
  onUnzip = [&] {
    if (stagedAtFirstUnzip.empty())
      stagedAtFirstUnzip = orvanta::test::ReadFile(scratch / "orvantaes.app/Contents/Info.plist");
  };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0) << errors.str();
  EXPECT_EQ(out.str(), "update: settled a killed run (completed its swap); installed the new pair "
                       "in '" +
                           folder + "'\n");
  EXPECT_NE(std::find(services.events.begin(), services.events.end(),
                      "log: settled a killed run: completed its swap"),
            services.events.end());
  EXPECT_EQ(stagedAtFirstUnzip, "v1.5");
  EXPECT_EQ(services.commands,
            Concat({StopPhase(), {kPerUserReload}, Unzips(), StopPhase(), {kPerUserReload}}));
  EXPECT_EQ(Snapshot(folder), NewPair());
}

// A pair that fails the judgement never touches the agent: exit 3, the previous pair, the
// archives gone.
TEST_F(UpdaterTest, FailedJudgementLeavesTheAgentAlone) {
  extracts = false;
  const auto before = Snapshot(folder);
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 3);
  auto expected = before;
  expected.erase("first.zip");
  expected.erase("second.zip");
  EXPECT_EQ(Snapshot(folder), expected);
  EXPECT_EQ(services.commands, Unzips());
}

TEST_F(UpdaterTest, ErrorDuringRollbackIsReported) {
  // The archive turns into a folder with content while it is extracted: removing it as a single
  // entry fails.
  extracts = false;
  onUnzip = [this] {
    if (!std::filesystem::is_regular_file(scratch / "first.zip"))
      return;
    std::filesystem::remove(scratch / "first.zip");
    MakeDirs(scratch / "first.zip");
    WriteFile(scratch / "first.zip/inside", "x");
  };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 1);
  EXPECT_NE(errors.str().find("cannot remove '" + scratch / "first.zip" + "'"), std::string::npos)
      << errors.str();
  EXPECT_EQ(services.commands, Unzips());
  // The previous bundles are there all the same.
  EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaes.app/Contents/Info.plist"), "v1");
  EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaet.app/Contents/Info.plist"), "v1");
}

// Each path's log lines in order, and the one line of its own that the run ends with: on standard
// output when the status is 0, on standard error otherwise, the failure line it would repeat folded
// into it. The end line is logged before a held signal ends the run.
TEST_F(UpdaterTest, LogAndOutcomeLineOfEachPath) {
  const std::string at = "'" + folder + "'";
  const std::string start =
      "start: update '" + folder + "' 'first.zip' 'second.zip' (version " + Version() + ")";
  const std::string judged = "the archives make a whole pair", stopped = "the agent is stopped",
                    swapped = "swapped in the new pair";
  const std::string installed = "installed the new pair in " + at;
  const std::string noPair = "the archives hold no folder 'orvantaes.app' and no folder "
                             "'orvantaet.app'";
  const std::string notExtracted =
      "'" + folder + "/first.zip' could not be extracted (unzip: exit status 2)";
  const auto signalAt = [this](const char* command) {
    return [this, command] {
      onAnyCommand = [this, command](const std::string& run) {
        if (run == command)
          services.heldSignal = SIGTERM;
      };
    };
  };
  const struct {
    const char* name;
    std::function<void()> arrange;
    int status;
    std::vector<std::string> log;
    std::string out, err;
  } cases[] = {
      {"installed",
       [] {},
       0,
       {start, judged, stopped, swapped, "end: " + installed + "; exit status 0; 0.00 s"},
       "update: " + installed + "\n",
       ""},
      {"the reload fails",
       [this] {
         services.commandStatus = [](const std::string& command) {
           return command == kPerUserReload ? 1 << 8 : 0;
         };
       },
       0,
       {start, judged, stopped, swapped, std::string(kPerUserReload) + ": exit status 1",
        "end: " + installed + "; exit status 0; 0.00 s"},
       "update: " + installed + "\n",
       ""},
      {"the agent would not end",
       [this] { services.agentRunning = [](int, unsigned) { return true; }; },
       0,
       {start, judged, "the agent still ran after 11 s of kills and probes; went on regardless",
        swapped, "end: " + installed + "; exit status 0; 11.00 s"},
       "update: " + installed + "\n",
       ""},
      {"no whole pair",
       [this] { extracts = false; },
       3,
       {start, noPair, "end: installed nothing; exit status 3; 0.00 s"},
       "",
       "update: installed nothing: " + noPair + "\n"},
      {"unzip fails",
       [this] {
         services.commandStatus = [](const std::string& command) {
           return command.find("first.zip") != std::string::npos ? 2 << 8 : 0;
         };
       },
       3,
       {start, notExtracted, "end: installed nothing; exit status 3; 0.00 s"},
       "",
       "update: installed nothing: " + notExtracted + "\n"},
      {"busy",
       [this] {
         held = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
       },
       75,
       {start, "end: another update is running in " + at +
                   "; nothing was done; exit status 75; "
                   "0.00 s"},
       "",
       "update: another update is running in " + at + "; nothing was done\n"},
      {"a signal in the stop phase",
       signalAt("killall -9 orvantaes"),
       128 + SIGTERM,
       {start, judged, "end: ended by signal 15; installed nothing; exit status 143; 0.00 s"},
       "",
       "update: ended by signal 15; installed nothing\n"},
      {"a signal at the reload",
       signalAt(kPerUserReload),
       128 + SIGTERM,
       {start, judged, stopped, swapped,
        "end: ended by signal 15 after installing the new pair in " + at +
            "; exit status 143; 0.00 s"},
       "",
       "update: ended by signal 15 after installing the new pair in " + at + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    services = RecordingServices();
    SetUp();
    extracts = true;
    onAnyCommand = nullptr;
    out.str("");
    errors.str("");
    c.arrange();
    EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), c.status);
    if (held >= 0)
      close(held);
    held = -1;
    std::vector<std::string> texts;
    for (const auto& [level, text] : services.logged)
      texts.push_back(text);
    EXPECT_EQ(texts, c.log);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(errors.str(), c.err);
    // The end is the last line logged, and it is out before the signals are let go.
    const auto end =
        std::find(services.events.begin(), services.events.end(), "log: " + c.log.back());
    EXPECT_EQ(std::next(end),
              std::find(services.events.begin(), services.events.end(), "release signals"));
    EXPECT_EQ(services.logged.back().first, c.status == 0 ? orvanta::platform::EventLevel::kNotice
                                                          : orvanta::platform::EventLevel::kError);
  }
}

// A killed run whose swap had to turn back is settled, and this run then installs its own pair:
// that is a success (0, on standard output), the turn back a line on standard error.
TEST_F(UpdaterTest, KilledRunsTurnBackDoesNotDecideThisRun) {
  KilledMidSwap();
  // The companion cannot be moved while the killed run is settled; afterwards it can.
  const std::string companion = scratch / "orvantaet.app";
  if (std::system(("chattr +i '" + companion + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "this file system does not let chattr +i make a folder immutable";
  onAnyCommand = [&](const std::string& command) {
    if (command == kPerUserReload)
      std::system(("chattr -i '" + companion + "'").c_str());
  };
  const int status = Run({folder, "first.zip", "second.zip"});
  std::system(("chattr -i '" + companion + "' 2>/dev/null").c_str());
  EXPECT_EQ(status, 0) << errors.str();
  EXPECT_EQ(Snapshot(folder), NewPair());
  EXPECT_EQ(out.str(), "update: settled a killed run (put back the pair it had begun to replace); "
                       "installed the new pair in '" +
                           folder + "'\n");
  EXPECT_NE(errors.str().find("update: cannot rename '" + companion + "'"), std::string::npos)
      << errors.str();
}

// A held signal: before the swap the pair is given up (and the agent, if unloaded, reloaded);
// once the stop phase is over the swap completes. The run ends by the signal (releasedWith).
TEST_F(UpdaterTest, HeldSignalFollowsThePhase) {
  const struct {
    const char* at; // the command during which the signal arrives
    bool installed;
    bool agentCycled;
  } cases[] = {
      {"unzip", false, false},
      {kPerUserUnload, false, true},
      {"killall -9 orvantaes", false, true},
      {kPerUserReload, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    services = RecordingServices();
    SetUp();
    const auto before = Snapshot(folder);
    onAnyCommand = [this, c](const std::string& command) {
      if (command.rfind(c.at, 0) == 0)
        services.heldSignal = SIGTERM;
    };
    Run({folder, "first.zip", "second.zip"});
    EXPECT_EQ(services.releasedWith, SIGTERM);
    auto previous = before;
    previous.erase("first.zip");
    previous.erase("second.zip");
    EXPECT_EQ(Snapshot(folder), c.installed ? NewPair() : previous);
    const bool reloaded = !services.commands.empty() && services.commands.back() == kPerUserReload;
    EXPECT_EQ(reloaded, c.agentCycled);
  }
}

// --check stages and judges as a run does, then leaves archives, bundles and the agent alone.
TEST_F(UpdaterTest, CheckJudgesAndTouchesNothing) {
  const auto before = Snapshot(folder);
  EXPECT_EQ(Run({"--check", folder, "first.zip", "second.zip"}), 0) << errors.str();
  EXPECT_EQ(services.commands, Unzips());
  EXPECT_EQ(Snapshot(folder), before);
  EXPECT_EQ(out.str(),
            "update: the archives make a whole pair (checked only; nothing was installed)\n");

  extracts = false;
  services = RecordingServices();
  SetUp();
  extracts = false;
  out.str("");
  EXPECT_EQ(Run({"--check", folder, "first.zip", "second.zip"}), 3);
  EXPECT_EQ(errors.str(), "update: the archives make no whole pair: the archives hold no folder "
                          "'orvantaes.app' and no folder 'orvantaet.app'\n");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(Snapshot(folder), before);
}

TEST(UnzipCommand, QuotesEachPathForTheShell) {
  const struct {
    const char* archive;
    const char* folder;
    const char* command;
  } cases[] = {
      {"/x/a.zip", "/x", "unzip -o '/x/a.zip' -d '/x'"},
      {"/my dir/a b.zip", "/my dir", "unzip -o '/my dir/a b.zip' -d '/my dir'"},
      {"/it's/$(rm -rf x);`y`.zip", "/it's",
       "unzip -o '/it'\\''s/$(rm -rf x);`y`.zip' -d '/it'\\''s'"},
      // Relative paths that begin with "-" are never options.
      {"-apps/a.zip", "-apps/.s", "unzip -o './-apps/a.zip' -d './-apps/.s'"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(UnzipCommand(c.archive, c.folder), c.command);
}

} // namespace
