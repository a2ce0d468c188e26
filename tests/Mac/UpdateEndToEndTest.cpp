// The built update program in a scratch sandbox: real unzip on real archives, recording stubs for
// launchctl and killall first on PATH.
#include "AgentControl.h"
#include "TestSupport.h"
#include "Updater.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace orvanta::test;
using orvanta::agent::ShellQuote;
namespace stdfs = std::filesystem;
using Tree = std::map<std::string, std::string>;

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
  ProgramResult Update(const std::vector<std::string>& arguments,
                       std::optional<uid_t> runAs = std::nullopt) {
    ProgramOptions options;
    options.arguments = arguments;
    options.env = {{"PATH", stubs.Path()}, {"HOME", sandbox / "home"}};
    options.runAs = runAs;
    const std::string cwd = sandbox.path();
    options.inChild = [cwd] { (void)chdir(cwd.c_str()); };
    return RunProgram(ORVANTA_UPDATE_BINARY, options);
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
}

// Each row ends with the previous bundles exactly as they were, both archives gone, exit 3, and
// the agent never touched.
TEST_F(UpdateEndToEnd, FailedExtractionRestoresPreviousBundles) {
  const struct {
    const char* name;
    std::function<void(UpdateEndToEnd&)> makeArchives;
  } rows[] = {
      {"first archive missing",
       [](UpdateEndToEnd& t) { t.MakeArchive("second.zip", {"orvantaet.app"}, "v2"); }},
      {"corrupt archive",
       [](UpdateEndToEnd& t) {
         WriteFile(t.folder + "/first.zip", "PK\x03\x04 this is not really a zip archive");
         t.MakeArchive("second.zip", {"orvantaet.app"}, "v2");
       }},
      {"archives hold only the service bundle",
       [](UpdateEndToEnd& t) {
         t.MakeArchive("first.zip", {"orvantaes.app"}, "v2");
         t.MakeArchive("second.zip", {"orvantaes.app"}, "v3");
       }},
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

} // namespace
