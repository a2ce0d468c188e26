// Recovery of a killed update run: folders fabricated as a kill at each stage leaves them, each
// settled to a whole pair (new when the staged pair was whole, else the previous), with the
// killed run's backups, staging folder and record gone and every unrelated entry untouched.
#include "UpdateRecord.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace orvanta::test {
namespace {

using namespace agent;
namespace stdfs = std::filesystem;
using Tree = std::map<std::string, std::string>;

constexpr int kSuffix = 7;

class RecoveryTest : public ::testing::Test {
public:
  void SetUp() override {
    MakeBundle("orvantaes.app", "v1");
    MakeBundle("orvantaet.app", "v1");
    MakeBundle(staging + "/orvantaes.app", "v2");
    MakeBundle(staging + "/orvantaet.app", "v2");
    MakeDirs(scratch / staging + "/Extras");
    WriteFile(scratch / staging + "/Extras/readme", "extra");
    // Not the killed run's: a leftover backup of another run, and a file of the user's.
    WriteFile(scratch / "orvantaes.app.3", "leftover");
    WriteFile(scratch / "notes.txt", "mine");
  }
  void MakeBundle(const std::string& at, const std::string& version) {
    MakeDirs(scratch / at + "/Contents");
    WriteFile(scratch / at + "/Contents/Info.plist", version);
  }
  void Move(const std::string& from, const std::string& to) {
    stdfs::rename(scratch / from, scratch / to);
  }
  Tree Expected(const char* service, const char* companion, bool extras) {
    Tree tree = {{"orvantaes.app.3", "file: leftover"}, {"notes.txt", "file: mine"}};
    for (const auto& [name, version] :
         {std::pair{"orvantaes.app", service}, {"orvantaet.app", companion}}) {
      if (version == nullptr)
        continue;
      tree[name] = "dir";
      tree[std::string(name) + "/Contents"] = "dir";
      tree[std::string(name) + "/Contents/Info.plist"] = std::string("file: ") + version;
    }
    if (extras) {
      tree["Extras"] = "dir";
      tree["Extras/readme"] = "file: extra";
    }
    return tree;
  }

  // Reads the record and settles it, as a run does; counts the calls of pairWhole. The errors.
  Problems Recover() {
    UpdateRecord record;
    Problems problems;
    if (ReadRecord(folder, record, problems) != RecordFound::Record)
      return problems;
    recovery = RecoverKilledRun(folder, record, [this] { ++pairWholeCalls; });
    return recovery.errors;
  }

  ScratchDir scratch;
  const std::string folder = scratch.path();
  const std::string staging = kStagingPrefix + std::string("KilledRun0");
  int pairWholeCalls = 0;
  Recovery recovery;
};

TEST_F(RecoveryTest, EachStageSettlesToAWholePair) {
  const std::string s = staging;
  const struct {
    const char* name;
    RunStage stage;
    std::array<bool, 2> previous;
    std::function<void(RecoveryTest&)> killedAt;
    const char* service;
    const char* companion;
    bool extras;
  } rows[] = {
      {"extracting, half an archive out",
       RunStage::Extracting,
       {false, false},
       [s](RecoveryTest& t) { stdfs::remove_all(t.scratch / s + "/orvantaet.app"); },
       "v1",
       "v1",
       false},
      {"swapping, nothing moved yet",
       RunStage::Swapping,
       {true, true},
       [](RecoveryTest&) {},
       "v2",
       "v2",
       true},
      {"swapping, service backed up",
       RunStage::Swapping,
       {true, true},
       [](RecoveryTest& t) { t.Move("orvantaes.app", "orvantaes.app.7"); },
       "v2",
       "v2",
       true},
      {"swapping, both backed up, service in place",
       RunStage::Swapping,
       {true, true},
       [s](RecoveryTest& t) {
         t.Move("orvantaes.app", "orvantaes.app.7");
         t.Move("orvantaet.app", "orvantaet.app.7");
         t.Move(s + "/orvantaes.app", "orvantaes.app");
       },
       "v2",
       "v2",
       true},
      {"swapping, no previous companion, service backed up",
       RunStage::Swapping,
       {true, false},
       [](RecoveryTest& t) {
         stdfs::remove_all(t.scratch / "orvantaet.app");
         t.Move("orvantaes.app", "orvantaes.app.7");
       },
       "v2",
       "v2",
       true},
      {"swapping, a staged bundle lost",
       RunStage::Swapping,
       {true, true},
       [s](RecoveryTest& t) {
         t.Move("orvantaes.app", "orvantaes.app.7");
         t.Move("orvantaet.app", "orvantaet.app.7");
         t.Move(s + "/orvantaes.app", "orvantaes.app");
         stdfs::remove_all(t.scratch / s + "/orvantaet.app");
       },
       "v1",
       "v1",
       false},
      {"restoring, service already back",
       RunStage::Restoring,
       {true, true},
       [s](RecoveryTest& t) {
         t.Move("orvantaet.app", "orvantaet.app.7");
         t.Move(s + "/orvantaet.app", "orvantaet.app");
       },
       "v1",
       "v1",
       false},
      {"restoring, new service back in the staging folder, its backup not yet",
       RunStage::Restoring,
       {true, true},
       [s](RecoveryTest& t) { t.Move("orvantaes.app", "orvantaes.app.7"); },
       "v1",
       "v1",
       false},
      // A kill while a failed swap was cleaned up: the staged tree is half gone, so the next
      // run must not take it for a pair to install.
      {"restoring, pair back, staging folder half removed",
       RunStage::Restoring,
       {true, true},
       [s](RecoveryTest& t) {
         stdfs::remove_all(t.scratch / s + "/orvantaet.app");
         stdfs::remove(t.scratch / s + "/orvantaes.app/Contents/Info.plist");
       },
       "v1",
       "v1",
       false},
      {"restoring, no previous companion, new one back in the staging folder",
       RunStage::Restoring,
       {true, false},
       [](RecoveryTest& t) { stdfs::remove_all(t.scratch / "orvantaet.app"); },
       "v1",
       nullptr,
       false},
      {"installed, extras merged, a backup half removed",
       RunStage::Installed,
       {true, true},
       [s](RecoveryTest& t) {
         t.Move("orvantaes.app", "orvantaes.app.7");
         stdfs::remove_all(t.scratch / "orvantaet.app");
         t.Move(s + "/orvantaes.app", "orvantaes.app");
         t.Move(s + "/orvantaet.app", "orvantaet.app");
         t.Move(s + "/Extras", "Extras");
         stdfs::remove(t.scratch / "orvantaes.app.7/Contents/Info.plist");
       },
       "v2",
       "v2",
       true},
      {"installed, staging folder gone already",
       RunStage::Installed,
       {true, true},
       [s](RecoveryTest& t) {
         stdfs::remove_all(t.scratch / "orvantaes.app");
         stdfs::remove_all(t.scratch / "orvantaet.app");
         t.Move(s + "/orvantaes.app", "orvantaes.app");
         t.Move(s + "/orvantaet.app", "orvantaet.app");
         t.Move(s + "/Extras", "Extras");
         stdfs::remove_all(t.scratch / s);
       },
       "v2",
       "v2",
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    stdfs::remove_all(folder);
    MakeDirs(folder);
    SetUp();
    row.killedAt(*this);
    const int suffix = row.stage == RunStage::Extracting ? -1 : kSuffix;
    ASSERT_EQ(WriteRecord(folder, {row.stage, staging, suffix, row.previous}), Problems{});
    pairWholeCalls = 0;
    EXPECT_EQ(Recover(), Problems{});
    EXPECT_EQ(Snapshot(folder), Expected(row.service, row.companion, row.extras));
    EXPECT_EQ(pairWholeCalls, 1);
  }
}

TEST_F(RecoveryTest, NoRecordNoSettling) {
  const Tree before = Snapshot(folder);
  UpdateRecord record;
  Problems problems;
  EXPECT_EQ(ReadRecord(folder, record, problems), RecordFound::Nothing);
  EXPECT_EQ(problems, Problems{});
  EXPECT_EQ(Snapshot(folder), before);
}

// A record that this program cannot have left, or that names a state the swap cannot have left,
// is reported and nothing in the folder moves.
TEST_F(RecoveryTest, UntrustedRecordLeavesEverything) {
  const std::string good =
      "orvanta-update record 1\nstage swapping\nstaging " + staging + "\nsuffix 7\nprevious 11\n";
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::vector<std::pair<const char*, std::function<void()>>> rows = {
      {"empty", [&] { WriteFile(scratch / kRecordName, ""); }},
      {"garbage",
       [&] {
         WriteFile(scratch / kRecordName, "\x7f"
                                          "ELF\x02\x01");
       }},
      {"cut short", [&] { WriteFile(scratch / kRecordName, good.substr(0, good.size() - 5)); }},
      {"a line too many", [&] { WriteFile(scratch / kRecordName, good + "stage installed\n"); }},
      {"unknown stage", [&] { WriteFile(scratch / kRecordName, with("swapping", "done")); }},
      {"staging outside", [&] { WriteFile(scratch / kRecordName, with(staging, "../../etc")); }},
      {"suffix out of range",
       [&] { WriteFile(scratch / kRecordName, with("suffix 7", "suffix 1000")); }},
      {"suffix with a zero",
       [&] { WriteFile(scratch / kRecordName, with("suffix 7", "suffix 07")); }},
      {"no suffix while swapping",
       [&] { WriteFile(scratch / kRecordName, with("suffix 7", "suffix -1")); }},
      {"record is a folder", [&] { MakeDirs(scratch / kRecordName); }},
      {"record is a FIFO", [&] { ASSERT_EQ(mkfifo((scratch / kRecordName).c_str(), 0600), 0); }},
      {"record is a link",
       [&] {
         WriteFile(scratch / "elsewhere", good);
         ASSERT_EQ(symlink("elsewhere", (scratch / kRecordName).c_str()), 0);
       }},
      {"staging gone while swapping",
       [&] {
         stdfs::remove_all(scratch / staging);
         WriteFile(scratch / kRecordName, good);
       }},
      {"previous bundle and its backup both there",
       [&] {
         MakeBundle("orvantaes.app.7", "v0");
         WriteFile(scratch / kRecordName, good);
       }},
      {"a bundle where none stood",
       [&] { WriteFile(scratch / kRecordName, with("previous 11", "previous 10")); }},
  };
  for (const auto& [name, arrange] : rows) {
    SCOPED_TRACE(name);
    stdfs::remove_all(folder);
    MakeDirs(folder);
    SetUp();
    arrange();
    const Tree before = Snapshot(folder);
    pairWholeCalls = 0;
    EXPECT_NE(Recover(), Problems{});
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_EQ(pairWholeCalls, 0);
  }
}

// chattr +i on path (or -i with on false); false when the file system or the machine refuses it.
bool SetImmutable(const std::string& path, bool on) {
  const std::string command =
      std::string("chattr ") + (on ? "+i" : "-i") + " '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// A bundle that cannot be renamed, released when the test ends.
struct Immutable {
  explicit Immutable(std::string at) : path(std::move(at)), set(SetImmutable(path, true)) {}
  ~Immutable() {
    if (set)
      SetImmutable(path, false);
  }
  std::string path;
  bool set;
};

// Killed between the two renames of bundles to backups; the companion cannot be moved now. The
// settling that would go forward turns back and puts the previous pair together.
TEST_F(RecoveryTest, ForwardRenameFailingTurnsBack) {
  Move("orvantaes.app", "orvantaes.app.7");
  const Immutable companion(scratch / "orvantaet.app");
  if (!companion.set)
    GTEST_SKIP() << "this file system does not let chattr +i make a folder immutable";
  ASSERT_EQ(WriteRecord(folder, {RunStage::Swapping, staging, kSuffix, {true, true}}), Problems{});
  EXPECT_EQ(Recover(), Problems{});
  ASSERT_EQ(recovery.turnedBack.size(), 1u);
  EXPECT_NE(recovery.turnedBack[0].find("cannot rename '" + scratch / "orvantaet.app"),
            std::string::npos)
      << recovery.turnedBack[0];
  EXPECT_EQ(Snapshot(folder), Expected("v1", "v1", false));
  EXPECT_EQ(pairWholeCalls, 1);
}

// Neither way can be completed: the record stays for a person, and the folder as it is.
TEST_F(RecoveryTest, NeitherDirectionLeavesTheRecord) {
  Move("orvantaes.app", "orvantaes.app.7");
  const Immutable companion(scratch / "orvantaet.app"), backup(scratch / "orvantaes.app.7");
  if (!companion.set || !backup.set)
    GTEST_SKIP() << "this file system does not let chattr +i make a folder immutable";
  ASSERT_EQ(WriteRecord(folder, {RunStage::Swapping, staging, kSuffix, {true, true}}), Problems{});
  const Tree before = Snapshot(folder);
  EXPECT_NE(Recover(), Problems{});
  EXPECT_EQ(pairWholeCalls, 0);
  // Only the record changed: it now says the way is back, never forward again.
  Tree expected = before;
  expected[kRecordName] =
      "file: " + RecordText({RunStage::Restoring, staging, kSuffix, {true, true}});
  EXPECT_EQ(Snapshot(folder), expected);
}

// Whatever stands at the draft's name is replaced, never written through or waited on; a name
// that cannot be cleared is a failure that leaves it alone.
TEST(WriteRecord, ClearsTheDraftsNameOrFails) {
  const UpdateRecord record{RunStage::Extracting, kStagingPrefix + std::string("AAAAAAAAAA")};
  const struct {
    const char* name;
    std::function<void(const std::string& draft, const std::string& elsewhere)> arrange;
    bool written;
  } rows[] = {
      {"a file", [](const std::string& d, const std::string&) { WriteFile(d, "old"); }, true},
      {"a FIFO", [](const std::string& d, const std::string&) { mkfifo(d.c_str(), 0600); }, true},
      {"a link", [](const std::string& d, const std::string& e) { symlink(e.c_str(), d.c_str()); },
       true},
      {"an empty folder", [](const std::string& d, const std::string&) { MakeDirs(d); }, true},
      {"a folder with a file",
       [](const std::string& d, const std::string&) {
         MakeDirs(d);
         WriteFile(d + "/inside", "x");
       },
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir scratch, other;
    const std::string draft = scratch / kRecordDraftName;
    WriteFile(other / "target", "untouched");
    row.arrange(draft, other / "target");
    const Tree before = Snapshot(scratch.path());
    const Problems problems = WriteRecord(scratch.path(), record);
    EXPECT_EQ(problems.empty(), row.written);
    if (row.written)
      EXPECT_EQ(Snapshot(scratch.path()), (Tree{{kRecordName, "file: " + RecordText(record)}}));
    else
      EXPECT_EQ(Snapshot(scratch.path()), before);
    EXPECT_EQ(Snapshot(other.path()), (Tree{{"target", "file: untouched"}}));
  }
}

} // namespace
} // namespace orvanta::test
