// update killed outright (SIGKILL to its whole process group, unzip included) at instants spread
// over a run: the bundle names must hold exactly the previous pair or exactly the new one, and
// the next run must install its own archives and leave no trace of the killed run.
#include "AgentControl.h"
#include "TestSupport.h"
#include "Updater.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

namespace {

using namespace orvanta::test;
using orvanta::agent::ShellQuote;
namespace stdfs = std::filesystem;
using Tree = std::map<std::string, std::string>;

const char* const kBundles[] = {"orvantaes.app", "orvantaet.app"};

// A bundle big enough that extracting it takes a noticeable share of the run: many small files
// in nested folders, one large incompressible file, a relative link.
void MakeBigBundle(const std::string& at, const std::string& version, unsigned seed) {
  std::mt19937 random(seed);
  for (int folder = 0; folder < 16; ++folder) {
    const std::string dir = at + "/Contents/Resources/r" + std::to_string(folder);
    MakeDirs(dir);
    for (int file = 0; file < 50; ++file)
      WriteFile(dir + "/f" + std::to_string(file),
                version + std::string(512 + random() % 4096, static_cast<char>('a' + file % 26)));
  }
  MakeDirs(at + "/Contents/MacOS");
  std::string binary(6u << 20, '\0');
  for (char& byte : binary)
    byte = static_cast<char>(random());
  WriteFile(at + "/Contents/MacOS/agent", version + binary, 0755);
  WriteFile(at + "/Contents/Info.plist", "<plist>" + version + "</plist>");
  symlink("MacOS/agent", (at + "/Contents/current").c_str());
}

// The pair of one version, laid out once: as trees to compare and as the two archives.
struct Release {
  Release(const std::string& version, unsigned seed) : source("orvanta-release") {
    for (const char* bundle : kBundles) {
      MakeBigBundle(source / bundle, version, seed++);
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

class UpdateKill : public ::testing::Test {
public:
  void SetUp() override {
    chmod(sandbox.path().c_str(), 0755);
    MakeDirs(folder);
  }
  // The update of folder with the two archives, under timeout: with a limit, timeout sends
  // SIGKILL to the whole process group (itself, update and whatever tool runs) when it expires.
  ProgramResult Update(std::optional<double> killAfter) {
    ProgramOptions options;
    options.env = {{"PATH", stubs.Path()}, {"HOME", sandbox / "home"}};
    const std::string update = ORVANTA_UPDATE_BINARY;
    const std::vector<std::string> run = {update, folder, Release::ArchiveName(kBundles[0]),
                                          Release::ArchiveName(kBundles[1])};
    if (!killAfter) {
      options.arguments.assign(run.begin() + 1, run.end());
      return RunProgram(update, options);
    }
    std::ostringstream limit;
    limit << *killAfter;
    options.arguments = {"-s", "KILL", limit.str()};
    options.arguments.insert(options.arguments.end(), run.begin(), run.end());
    return RunProgram("/usr/bin/timeout", options);
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

  ScratchDir sandbox{"orvanta-kill"};
  StubTools stubs{sandbox / "stubs", {"launchctl", "killall"}};
  std::string folder = sandbox / "apps";
};

TEST_F(UpdateKill, EveryInstantLeavesAWholePairAndTheNextRunRecovers) {
  const Release v1("v1", 100), v2("v2", 200), v3("v3", 300);
  const std::vector<std::string> unrelated = {"notes.txt", "plugins"};

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
    const ProgramResult whole = Update(std::nullopt);
    runSeconds =
        std::min(runSeconds,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_EQ(PairState(v1, v2), "new+new");
    ASSERT_EQ(OtherEntries(), unrelated);
  }

  // Instants spread over the run: one drawn in each of kInstants equal slices (fixed seed).
  constexpr int kInstants = 12;
  std::mt19937 random(20261210);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int killed = 0;
  for (int slice = 0; slice < kInstants; ++slice) {
    const double instant = runSeconds * (slice + within(random)) / kInstants;
    SCOPED_TRACE("killed after " + std::to_string(instant) + " s of a " +
                 std::to_string(runSeconds) + " s run");
    PrepareFolder();
    const ProgramResult result = Update(instant);
    killed += result.status == 128 + SIGKILL ? 1 : 0;

    const std::string state = PairState(v1, v2);
    if (state != "old+old" && state != "new+new") {
      // Only a kill between the renames of the swap may split the pair; the missing bundle then
      // stands under its backup name, and the next run puts the pair together.
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

    // The next run, with newer archives under the same names, installs them and leaves nothing
    // of the killed run behind.
    v3.PlaceArchivesIn(folder);
    const ProgramResult next = Update(std::nullopt);
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(PairState(v3, v3), "old+old") << "the next run did not install its archives";
    EXPECT_EQ(OtherEntries(), unrelated);
    EXPECT_EQ(ReadFile(folder + "/notes.txt"), "keep me");
  }
  // The instants must really have cut runs short, not let most of them finish.
  EXPECT_GE(killed, kInstants / 2);
}

} // namespace
