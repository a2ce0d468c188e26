// The built uninstall program in a sandbox: recording stubs stand in for launchctl and killall,
// the real rm removes the per-user files under a scratch HOME.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace orvanta::test {
namespace {

namespace stdfs = std::filesystem;

const char kProgressLines[] = "unregister service\r\nterminate process\r\n";

std::vector<std::string> ExpectedCalls(const std::string& home) {
  return {"launchctl unload /Library/LaunchAgents/com.orvanta.orvantaes.plist",
          "launchctl unload " + home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist",
          "killall 9 orvantaet",
          "killall 9 orvantaes",
          "killall -9 orvantaet",
          "killall -9 orvantaes"};
}

// The per-user agent files go, their neighbours stay, and a second run finds nothing and still
// succeeds; HOME may hold spaces and quotes.
TEST(UninstallEndToEnd, RemovesPerUserAgentFiles) {
  for (const std::string homeName : {"home", "my home dir", "o'brien's \"home\""}) {
    SCOPED_TRACE(homeName);
    ScratchDir sandbox("orvanta-uninstall");
    StubTools stubs(sandbox / "stubs", {"launchctl", "killall"});
    const std::string home = sandbox / homeName;
    MakeDirs(home + "/Library/LaunchAgents");
    WriteFile(home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist", "<plist/>");
    WriteFile(home + "/Library/LaunchAgents/com.other.plist", "keep");
    MakeDirs(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents");
    WriteFile(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents/Info.plist", "x");
    WriteFile(home + "/Applications/ORVANTA-EX-notes", "keep");
    const std::map<std::string, std::string> kept = {
        {"Library", "dir"},
        {"Library/LaunchAgents", "dir"},
        {"Library/LaunchAgents/com.other.plist", "file: keep"},
        {"Applications", "dir"},
        {"Applications/ORVANTA-EX-notes", "file: keep"}};

    const ProgramOptions options{{}, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, {}};
    for (int run = 1; run <= 2; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      WriteFile(stubs.log(), "");
      const ProgramResult result = RunProgram(ORVANTA_UNINSTALL_BINARY, options);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, kProgressLines);
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(stubs.Calls(), ExpectedCalls(home));
      EXPECT_EQ(Snapshot(home), kept);
    }
  }
  EXPECT_FALSE(stdfs::exists("/Library"));
  EXPECT_FALSE(stdfs::exists("/Applications"));
}

// Nothing installed: the tools are asked all the same, nothing is created, the run succeeds.
TEST(UninstallEndToEnd, AgentNotInstalled) {
  ScratchDir sandbox("orvanta-uninstall");
  StubTools stubs(sandbox / "stubs", {"launchctl", "killall"});
  const std::string home = sandbox / "home";
  MakeDirs(home);
  const ProgramResult result =
      RunProgram(ORVANTA_UNINSTALL_BINARY,
                 {{"ignored", "arguments"}, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, {}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kProgressLines);
  EXPECT_EQ(stubs.Calls(), ExpectedCalls(home));
  EXPECT_TRUE(Snapshot(home).empty());
}

// Launched with its output on a pipe whose reader is gone, SIGPIPE at its default: the lines are
// lost, yet the files go and the run succeeds.
TEST(UninstallEndToEnd, OutputReaderGone) {
  ScratchDir sandbox("orvanta-uninstall");
  StubTools stubs(sandbox / "stubs", {"launchctl", "killall"});
  const std::string home = sandbox / "home";
  MakeDirs(home + "/Library/LaunchAgents");
  WriteFile(home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist", "<plist/>");
  MakeDirs(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents");
  const ProgramResult result =
      RunProgram(ORVANTA_UNINSTALL_BINARY,
                 {{}, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, OutputToGoneReader});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(stubs.Calls(), ExpectedCalls(home));
  const std::map<std::string, std::string> left = {
      {"Library", "dir"}, {"Library/LaunchAgents", "dir"}, {"Applications", "dir"}};
  EXPECT_EQ(Snapshot(home), left);
}

} // namespace
} // namespace orvanta::test
