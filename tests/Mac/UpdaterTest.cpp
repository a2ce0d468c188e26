// The update sequence against a recording runner and a fake clock, on a real scratch folder.
#include "Updater.h"
#include "AgentControl.h"
#include "RecordingServices.h"
#include "Staging.h"
#include "TestSupport.h"
#include "UpdateRecord.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
  void MakeBundle(const std::string& name, const std::string& version) {
    const std::string at = name[0] == '/' ? name : scratch / name;
    MakeDirs(at + "/Contents");
    WriteFile(at + "/Contents/Info.plist", version);
  }
  int Run(const std::vector<std::string>& arguments) {
    return RunUpdate(arguments, services, errors);
  }
  // Both unzips target one fresh private folder directly inside the folder.
  std::vector<std::string> Unzips() const {
    EXPECT_EQ(std::filesystem::path(staging).parent_path(), folder);
    EXPECT_EQ(std::filesystem::path(staging).filename().string().rfind(kStagingPrefix, 0), 0u);
    return {UnzipCommand(scratch / "second.zip", staging),
            UnzipCommand(scratch / "first.zip", staging)};
  }

  ScratchDir scratch;
  std::string folder;
  RecordingServices services;
  std::ostringstream errors;
  bool extracts = true;
  std::function<void()> onUnzip; // runs at each unzip, before it "extracts"
  std::string staging;           // the folder the last unzip extracted into
};

TEST_F(UpdaterTest, AgentGoneAtOnce) {
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
  EXPECT_EQ(services.commands,
            Concat({{kPerUserUnload}, KillSequence(), Unzips(), {kPerUserReload}}));
  EXPECT_EQ(services.clock, 1u);
  EXPECT_EQ(services.probes, 1);
  EXPECT_EQ(Snapshot(folder), NewPair());
  EXPECT_EQ(errors.str(), "");
}

TEST_F(UpdaterTest, AgentGoneAfterThreeProbes) {
  services.agentRunning = [](int probe, unsigned) { return probe < 3; };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
  EXPECT_EQ(services.commands, Concat({{kPerUserUnload},
                                       KillSequence(),
                                       KillSequence(),
                                       KillSequence(),
                                       KillSequence(),
                                       Unzips(),
                                       {kPerUserReload}}));
  EXPECT_EQ(services.probes, 4);
  EXPECT_EQ(services.clock, 4u);
}

TEST_F(UpdaterTest, AgentNeverGoneStillUpdatesAfterElevenSeconds) {
  services.agentRunning = [](int, unsigned) { return true; };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
  std::vector<std::string> expected{kPerUserUnload};
  for (int sequence = 0; sequence < 11; ++sequence)
    expected = Concat({expected, KillSequence()});
  EXPECT_EQ(services.commands, Concat({expected, Unzips(), {kPerUserReload}}));
  EXPECT_EQ(services.probes, 10);
  EXPECT_EQ(services.clock, 11u);
}

TEST_F(UpdaterTest, MissingArgumentsOnlyStopAndReload) {
  const std::vector<std::vector<std::string>> argumentLists = {{},
                                                               {folder},
                                                               {folder, "first.zip"},
                                                               {"", "first.zip", "second.zip"},
                                                               {folder, "", "second.zip"},
                                                               {folder, "first.zip", ""}};
  const auto before = Snapshot(folder);
  for (const auto& arguments : argumentLists) {
    RecordingServices fresh;
    EXPECT_EQ(RunUpdate(arguments, fresh, errors), 0);
    EXPECT_EQ(fresh.commands, Concat({{kPerUserUnload}, KillSequence(), {kPerUserReload}}));
  }
  EXPECT_EQ(Snapshot(folder), before);
}

TEST_F(UpdaterTest, UntrustedRecordOfAKilledRunStopsTheRun) {
  // Whatever stands at the record's name and is no record written by a run: nothing is touched.
  for (const char* record : {"garbage\n", ""}) {
    WriteFile(scratch / kRecordName, record);
    const auto before = Snapshot(folder);
    RecordingServices fresh;
    std::ostringstream lines;
    EXPECT_EQ(RunUpdate({folder, "first.zip", "second.zip"}, fresh, lines), 1);
    EXPECT_EQ(fresh.commands, Concat({{kPerUserUnload}, KillSequence(), {kPerUserReload}}));
    EXPECT_EQ(Snapshot(folder), before);
    EXPECT_NE(lines.str().find(kRecordName), std::string::npos) << lines.str();
  }
}

TEST_F(UpdaterTest, KilledRunIsSettledBeforeTheRunsOwnWork) {
  // Killed mid-swap: the service bundle had gone to its backup, the staged pair was whole.
  const std::string killed = kStagingPrefix + std::string("AAAAAAAAAA");
  MakeBundle(killed + "/orvantaes.app", "v1.5");
  MakeBundle(killed + "/orvantaet.app", "v1.5");
  std::filesystem::rename(scratch / "orvantaes.app", scratch / "orvantaes.app.7");
  ASSERT_TRUE(WriteRecord(folder, {RunStage::Swapping, killed, 7, {true, true}}).empty());
  std::string stagedAtFirstUnzip;
  onUnzip = [&] {
    if (stagedAtFirstUnzip.empty())
      stagedAtFirstUnzip = orvanta::test::ReadFile(scratch / "orvantaes.app/Contents/Info.plist");
  };
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0) << errors.str();
  EXPECT_EQ(stagedAtFirstUnzip, "v1.5");
  EXPECT_EQ(Snapshot(folder), NewPair());
}

TEST_F(UpdaterTest, FailedExtractionRollsBack) {
  extracts = false;
  const auto before = Snapshot(folder);
  EXPECT_EQ(Run({folder, "first.zip", "second.zip"}), 0);
  auto expected = before;
  expected.erase("first.zip");
  expected.erase("second.zip");
  EXPECT_EQ(Snapshot(folder), expected);
  EXPECT_EQ(services.commands.back(), kPerUserReload);
}

TEST_F(UpdaterTest, ErrorDuringRollbackIsReportedAndStillReloads) {
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
  EXPECT_EQ(services.commands.back(), kPerUserReload);
  // The previous bundles are back all the same.
  EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaes.app/Contents/Info.plist"), "v1");
  EXPECT_EQ(orvanta::test::ReadFile(scratch / "orvantaet.app/Contents/Info.plist"), "v1");
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
  };
  for (const auto& c : cases)
    EXPECT_EQ(UnzipCommand(c.archive, c.folder), c.command);
}

} // namespace
