// The built update program in a scratch sandbox: real unzip on real archives, recording stubs for
// launchctl and killall first on PATH.
#include "AgentControl.h"
#include "SystemLogCapture.h"
#include "TestSupport.h"
#include "Updater.h"
#include "ZipWriter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace orvanta::test;
using orvanta::agent::ShellQuote;
namespace stdfs = std::filesystem;
using Tree = std::map<std::string, std::string>;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class UpdateEndToEnd : public ::testing::Test {
public:
  void SetUp() override {
    chmod(sandbox.path().c_str(), 0755); // an unprivileged child must reach it
    UseFolder("apps");
  }
  void UseFolder(const std::string& name) {
    folder = sandbox / name;
    MakeDirs(folder);
  }
  // A bundle as an application has it: nested folders, a binary, a relative link.
  static void MakeBundle(const std::string& at, const std::string& version) {
    MakeDirs(at + "/Contents/MacOS");
    MakeDirs(at + "/Contents/Resources");
    WriteFile(at + "/Contents/Info.plist", "<plist>" + version + "</plist>");
    WriteFile(at + "/Contents/MacOS/agent", "binary " + version, 0755);
    WriteFile(at + "/Contents/Resources/" + version + ".txt", version);
    symlink("MacOS/agent", (at + "/Contents/current").c_str());
  }
  // An archive holding the named bundles, made with the real zip.
  void MakeArchive(const std::string& name, const std::vector<std::string>& bundles,
                   const std::string& version) {
    ScratchDir staging("orvanta-stage");
    std::string members;
    for (const auto& bundle : bundles) {
      MakeBundle(staging / bundle, version);
      members += " " + ShellQuote(bundle);
    }
    if (members.empty()) { // an archive with no bundle in it still needs an entry
      WriteFile(staging / "README", "nothing");
      members = " README";
    }
    const std::string command = "cd " + ShellQuote(staging.path()) + " && zip -qry " +
                                ShellQuote(folder + "/" + name) + members;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  Tree BundlesOf(const std::string& version, const std::vector<std::string>& bundles) {
    ScratchDir staging("orvanta-expect");
    for (const auto& bundle : bundles)
      MakeBundle(staging / bundle, version);
    return Snapshot(staging.path());
  }
  ProgramOptions Options(const std::vector<std::string>& arguments,
                         std::optional<uid_t> runAs = std::nullopt) const {
    ProgramOptions options;
    options.arguments = arguments;
    options.env = {{"PATH", stubs.Path()}, {"HOME", sandbox / "home"}};
    options.runAs = runAs;
    const std::string cwd = sandbox.path();
    options.inChild = [cwd] { (void)chdir(cwd.c_str()); };
    return options;
  }
  ProgramResult Update(const std::vector<std::string>& arguments,
                       std::optional<uid_t> runAs = std::nullopt) {
    return RunProgram(ORVANTA_UPDATE_BINARY, Options(arguments, runAs));
  }
  // The folder holds the previous pair (v1) and archives of the new one (v2).
  void Arrange() {
    stdfs::remove_all(folder);
    MakeDirs(folder);
    MakeBundle(folder + "/orvantaes.app", "v1");
    MakeBundle(folder + "/orvantaet.app", "v1");
    MakeArchive("first.zip", {"orvantaes.app"}, "v2");
    MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  }
  // The shell expands "~" to HOME, which the test points into the sandbox.
  std::string PropertyList() const {
    return sandbox / "home/Library/LaunchAgents/com.orvanta.orvantaes.plist";
  }
  std::string ReloadCall() const { return "launchctl load -w " + PropertyList(); }
  std::vector<std::string> StopAndReload() const {
    return {"launchctl unload " + PropertyList(),
            "killall 9 orvantaet",
            "killall 9 orvantaes",
            "killall -9 orvantaet",
            "killall -9 orvantaes",
            ReloadCall()};
  }

  ScratchDir sandbox;
  StubTools stubs{sandbox / "stubs", {"launchctl", "killall"}};
  std::string folder;
};

TEST_F(UpdateEndToEnd, SuccessReplacesBothBundles) {
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeBundle(folder + "/orvantaet.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  const ProgramResult result = Update({folder, "first.zip", "second.zip"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
  EXPECT_EQ(stubs.Calls(), StopAndReload());
  // unzip's own lines, then the run's one line of its own.
  EXPECT_TRUE(EndsWith(result.out, "update: installed the new pair in '" + folder + "'\n"))
      << result.out;
  EXPECT_NE(result.out.find("inflating: "), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "");
}

// Each row ends with the previous bundles exactly as they were, both archives gone, exit 3, and
// the agent never touched; the run's one line on standard error says why ("$F" is the folder).
TEST_F(UpdateEndToEnd, FailedExtractionRestoresPreviousBundles) {
  const struct {
    const char* name;
    std::function<void(UpdateEndToEnd&)> makeArchives;
    const char* says;
  } rows[] = {
      {"first archive missing",
       [](UpdateEndToEnd& t) { t.MakeArchive("second.zip", {"orvantaet.app"}, "v2"); },
       "installed nothing: the archives hold no folder 'orvantaes.app' (unzip found no archive at "
       "'$F/first.zip': exit status 9)"},
      {"both archives missing", [](UpdateEndToEnd&) {},
       "installed nothing: the archives hold no folder 'orvantaes.app' and no folder "
       "'orvantaet.app' (unzip found no archive at '$F/second.zip' nor at '$F/first.zip': exit "
       "status 9)"},
      {"corrupt archive",
       [](UpdateEndToEnd& t) {
         WriteFile(t.folder + "/first.zip", "PK\x03\x04 this is not really a zip archive");
         t.MakeArchive("second.zip", {"orvantaet.app"}, "v2");
       },
       "installed nothing: '$F/first.zip' could not be extracted (unzip: exit status 9)"},
      {"archives hold only the service bundle",
       [](UpdateEndToEnd& t) {
         t.MakeArchive("first.zip", {"orvantaes.app"}, "v2");
         t.MakeArchive("second.zip", {"orvantaes.app"}, "v3");
       },
       "installed nothing: the archives hold no folder 'orvantaet.app'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    stdfs::remove_all(folder);
    MakeDirs(folder);
    MakeBundle(folder + "/orvantaes.app", "v1");
    MakeBundle(folder + "/orvantaet.app", "v1");
    const Tree before = Snapshot(folder);
    row.makeArchives(*this);
    WriteFile(stubs.log(), "");
    const ProgramResult result = Update({folder, "first.zip", "second.zip"});
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_EQ(stubs.Calls(), std::vector<std::string>{});
    // Only one line of the run's own, the last.
    std::string says = "update: " + std::string(row.says) + "\n";
    for (std::size_t at; (at = says.find("$F")) != std::string::npos;)
      says.replace(at, 2, folder);
    EXPECT_TRUE(EndsWith(result.err, says)) << result.err;
    EXPECT_EQ(result.err.find("update: "), result.err.size() - says.size()) << result.err;
    EXPECT_EQ(result.out.find("update: "), std::string::npos) << result.out;
  }
}

TEST_F(UpdateEndToEnd, BundleAbsentBeforeTheRun) {
  // Supplied by the archives: success, nothing left but the new pair.
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  EXPECT_EQ(Update({folder, "first.zip", "second.zip"}).status, 0);
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));

  // Still absent afterwards: the previous service stays, the companion stays absent, and nothing
  // of the archives is left.
  stdfs::remove_all(folder + "/orvantaet.app");
  const Tree before = Snapshot(folder);
  MakeArchive("first.zip", {"orvantaes.app"}, "v3");
  MakeArchive("second.zip", {}, "v3");
  EXPECT_EQ(Update({folder, "first.zip", "second.zip"}).status, 3);
  EXPECT_EQ(Snapshot(folder), before);
}

TEST_F(UpdateEndToEnd, BothBundlesAbsentBeforeTheRun) {
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  EXPECT_EQ(Update({folder, "first.zip", "second.zip"}).status, 0);
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
}

// A run that cannot begin touches nothing, the agent included, and says so in its status.
TEST_F(UpdateEndToEnd, RunThatCannotBeginRunsNothing) {
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  const Tree before = Snapshot(folder);
  const struct {
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {{}, 2},
      {{folder, "first.zip"}, 2},
      {{folder + "/missing", "first.zip", "second.zip"}, 1},
      {{folder + "/first.zip", "first.zip", "second.zip"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "no arguments" : c.arguments.front());
    WriteFile(stubs.log(), "");
    const ProgramResult result = Update(c.arguments);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(stubs.Calls(), std::vector<std::string>{});
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_NE(result.err, "");
  }
}

TEST_F(UpdateEndToEnd, FolderGivenThroughALink) {
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeBundle(folder + "/orvantaet.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  const std::string link = sandbox / "apps-link";
  ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
  const ProgramResult result = Update({link, "first.zip", "second.zip"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
}

TEST_F(UpdateEndToEnd, AbsoluteArchiveArgumentIsJoinedBelowTheFolder) {
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  EXPECT_EQ(Update({folder, "/first.zip", "/second.zip"}).status, 0);
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
}

TEST_F(UpdateEndToEnd, HostileNamesStayLiteral) {
  UseFolder("my apps 'q' ; $(touch MARK1) `touch MARK2`");
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeArchive("a b;$(touch MARK3).zip", {"orvantaes.app"}, "v2");
  MakeArchive("it's `touch MARK4`.zip", {"orvantaet.app"}, "v2");
  const ProgramResult result = Update({folder, "a b;$(touch MARK3).zip", "it's `touch MARK4`.zip"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
  for (const char* marker : {"MARK1", "MARK2", "MARK3", "MARK4"}) {
    EXPECT_FALSE(stdfs::exists(sandbox / marker)) << marker;
    EXPECT_FALSE(stdfs::exists(folder + "/" + marker)) << marker;
  }
}

TEST_F(UpdateEndToEnd, LeftoverBackupsOfEarlierRunsSurvive) {
  // Every suffix but one is taken by a leftover: the run must find that one and touch no other.
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeBundle(folder + "/orvantaet.app", "v1");
  for (int suffix = 0; suffix < 1000; ++suffix) {
    if (suffix != 500)
      WriteFile(folder + "/" + (suffix % 2 ? "orvantaes.app." : "orvantaet.app.") +
                    std::to_string(suffix),
                "leftover " + std::to_string(suffix));
  }
  const Tree leftovers = [&] {
    Tree tree = Snapshot(folder);
    for (auto it = tree.begin(); it != tree.end();)
      it = it->first.rfind("orvantae", 0) == 0 && it->first.find(".app.") != std::string::npos
               ? std::next(it)
               : tree.erase(it);
    return tree;
  }();
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  EXPECT_EQ(Update({folder, "first.zip", "second.zip"}).status, 0);
  Tree expected = BundlesOf("v2", {"orvantaes.app", "orvantaet.app"});
  expected.insert(leftovers.begin(), leftovers.end());
  EXPECT_EQ(Snapshot(folder), expected);
}

TEST_F(UpdateEndToEnd, UnwritableFolderIsAnError) {
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeBundle(folder + "/orvantaet.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  chmod(stubs.log().c_str(), 0666);
  chmod(folder.c_str(), 0555);
  const Tree before = Snapshot(folder);
  const ProgramResult result = Update({folder, "first.zip", "second.zip"}, NobodyUid());
  chmod(folder.c_str(), 0755);
  ORVANTA_SKIP_IF_REFUSED(result);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(Snapshot(folder), before); // nothing extracted, both archives kept
  EXPECT_EQ(stubs.Calls(), std::vector<std::string>{});
  EXPECT_NE(result.err.find("cannot write '" + folder), std::string::npos) << result.err;
}

TEST_F(UpdateEndToEnd, FailingRenameOfTheSwapPutsBackWhatMoved) {
  // In a sticky folder another user's companion bundle cannot be moved aside; the service bundle,
  // the run's own, already has been when that rename fails.
  if (geteuid() != 0)
    GTEST_SKIP() << "running as another user needs root";
  MakeBundle(folder + "/orvantaes.app", "v1");
  MakeBundle(folder + "/orvantaet.app", "v1");
  MakeArchive("first.zip", {"orvantaes.app"}, "v2");
  MakeArchive("second.zip", {"orvantaet.app"}, "v2");
  chmod(stubs.log().c_str(), 0666);
  chmod(folder.c_str(), 01777);
  const std::string nobody = std::to_string(NobodyUid());
  for (const char* own : {"/orvantaes.app", "/first.zip", "/second.zip"})
    ASSERT_EQ(std::system(("chown -R " + nobody + " " + ShellQuote(folder + own)).c_str()), 0);
  const Tree before = Snapshot(folder);
  const ProgramResult result = Update({folder, "first.zip", "second.zip"}, NobodyUid());
  ORVANTA_SKIP_IF_REFUSED(result);
  EXPECT_EQ(result.status, 3) << result.err;
  EXPECT_EQ(Snapshot(folder), before); // the previous pair in place, both archives kept
  EXPECT_EQ(stubs.Calls(), StopAndReload());
  EXPECT_NE(result.err.find("cannot rename '" + folder + "/orvantaet.app'"), std::string::npos)
      << result.err;
}

// Each outcome leaves its story in the system log under update's ident and pid: the start with
// the arguments, the steps that decided, the end with the outcome, the status and the duration,
// also when a held signal ends the run.
TEST_F(UpdateEndToEnd, LogOfEachOutcome) {
  const std::string version = std::string(" (version ") + ORVANTA_VERSION + ")";
  const std::string start = "start: update '" + folder + "' 'first.zip' 'second.zip'" + version;
  const std::string at = "'" + folder + "'";
  const std::string judged = "the archives make a whole pair", stopped = "the agent is stopped",
                    swapped = "swapped in the new pair";
  const std::string installed = "end: installed the new pair in " + at + "; exit status 0; N s";
  const std::string notFound = "unzip found no archive at '" + folder + "/first.zip'";
  // A killall that sends SIGTERM to the run, which writes its pid for it.
  const std::string interrupting = sandbox / "interrupting", pidFile = sandbox / "update.pid";
  MakeDirs(interrupting);
  WriteFile(interrupting + "/killall",
            "#!/bin/sh\nkill -TERM \"$(cat " + ShellQuote(pidFile) + ")\"\n", 0755);
  int locked = -1;
  const struct {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> arguments;
    int status;
    std::vector<std::string> lines;
    std::vector<int> severities;
    std::string path = "";
  } cases[] = {
      {"installed",
       [] {},
       {folder, "first.zip", "second.zip"},
       0,
       {start, judged, stopped, swapped, installed},
       {LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_NOTICE}},
      {"not installed: an archive missing",
       [this] { stdfs::remove(folder + "/first.zip"); },
       {folder, "first.zip", "second.zip"},
       3,
       {start, notFound + " (exit status 9)",
        "the archives hold no folder 'orvantaes.app' (" + notFound + ": exit status 9)",
        "end: installed nothing; exit status 3; N s"},
       {LOG_INFO, LOG_WARNING, LOG_WARNING, LOG_ERR}},
      {"a refused archive",
       [] {},
       {folder, "../first.zip", "second.zip"},
       1,
       {"start: update '" + folder + "' '../first.zip' 'second.zip'" + version,
        "refused the archive '" + folder + "/../first.zip': it lies outside the folder",
        "end: installed nothing; exit status 1; N s"},
       {LOG_INFO, LOG_WARNING, LOG_ERR}},
      {"a usage error",
       [] {},
       {"--helpx"},
       2,
       {"start: update '--helpx'" + version,
        "refused the command line: unknown option '--helpx' (put -- before an operand that "
        "begins with -)",
        "end: usage error, nothing done; exit status 2; N s"},
       {LOG_INFO, LOG_WARNING, LOG_ERR}},
      {"busy",
       [this, &locked] {
         locked = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         ASSERT_EQ(flock(locked, LOCK_EX | LOCK_NB), 0);
       },
       {folder, "first.zip", "second.zip"},
       75,
       {start,
        "end: another update is running in " + at + "; nothing was done; exit status 75; N s"},
       {LOG_INFO, LOG_ERR}},
      {"a killed run recovered",
       [this] {
         // Killed mid-swap: its staged pair whole, the service bundle moved to its backup.
         const std::string staging = folder + "/.orvanta-update-KilledRun0";
         MakeBundle(staging + "/orvantaes.app", "v1.5");
         MakeBundle(staging + "/orvantaet.app", "v1.5");
         stdfs::rename(folder + "/orvantaes.app", folder + "/orvantaes.app.7");
         WriteFile(folder + "/.orvanta-update.record",
                   "orvanta-update record 1\nstage swapping\nstaging .orvanta-update-KilledRun0\n"
                   "suffix 7\nprevious 11\n");
       },
       {folder, "first.zip", "second.zip"},
       0,
       {start, stopped, "settled a killed run: completed its swap", judged, stopped, swapped,
        "end: settled a killed run (completed its swap); installed the new pair in " + at +
            "; exit status 0; N s"},
       {LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_INFO, LOG_NOTICE}},
      {"interrupted in the stop phase",
       [] {},
       {folder, "first.zip", "second.zip"},
       128 + SIGTERM,
       {start, judged, "end: ended by signal 15; installed nothing; exit status 143; N s"},
       {LOG_INFO, LOG_INFO, LOG_ERR},
       interrupting + ":" + stubs.Path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Arrange();
    c.arrange();
    ProgramOptions options = Options(c.arguments);
    if (!c.path.empty())
      options.env["PATH"] = c.path;
    const std::string cwd = sandbox.path();
    options.inChild = [cwd, pidFile] {
      (void)chdir(cwd.c_str());
      WriteFile(pidFile, std::to_string(getpid()));
    };
    const LoggedRun run = RunProgramLogged(ORVANTA_UPDATE_BINARY, options);
    if (locked >= 0)
      close(locked);
    locked = -1;
    ORVANTA_SKIP_IF_REFUSED(run);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.program.status, c.status) << run.program.err;
    ExpectLogged(run, orvanta::agent::kUpdateLogIdent, c.lines, c.severities);
  }
}

// No log service, one that stopped reading, one that died, or a stream socket: the run installs
// and says so exactly as with a reading log service.
TEST_F(UpdateEndToEnd, RunsWhateverTheLogService) {
  for (const LogSocket socket :
       {LogSocket::kAbsent, LogSocket::kStuck, LogSocket::kDead, LogSocket::kStream}) {
    SCOPED_TRACE(static_cast<int>(socket));
    Arrange();
    WriteFile(stubs.log(), "");
    const LoggedRun run = RunProgramLogged(ORVANTA_UPDATE_BINARY,
                                           Options({folder, "first.zip", "second.zip"}), socket);
    ORVANTA_SKIP_IF_REFUSED(run);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.program.status, 0) << run.program.err;
    EXPECT_EQ(run.program.err, "");
    EXPECT_TRUE(EndsWith(run.program.out, "update: installed the new pair in '" + folder + "'\n"))
        << run.program.out;
    EXPECT_EQ(stubs.Calls(), StopAndReload());
    EXPECT_EQ(Snapshot(folder), BundlesOf("v2", {"orvantaes.app", "orvantaet.app"}));
  }
}

} // namespace
