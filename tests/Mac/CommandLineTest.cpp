// -h, --help and --version, answered by the built programs before anything else happens: with
// recording stubs for launchctl and killall first on PATH and the agent's per-user files in a
// scratch HOME, nothing may be called and nothing removed.
#include "CommandLine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace orvanta::test {
namespace {

using agent::kUninstallUsage;
using agent::kUpdateUsage;

struct Case {
  const char* program; // path of the built binary
  std::vector<std::string> arguments;
  std::string out; // the exact standard output
};

class CommandLine : public ::testing::Test {
protected:
  void SetUp() override {
    MakeDirs(home + "/Library/LaunchAgents");
    WriteFile(home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist", "<plist/>");
    MakeDirs(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents");
    WriteFile(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents/Info.plist", "x");
    installed = Snapshot(home);
  }
  ProgramResult Run(const char* program, const std::vector<std::string>& arguments,
                    std::function<void()> inChild = {}) {
    WriteFile(stubs.log(), "");
    return RunProgram(program, {arguments, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, inChild});
  }

  ScratchDir sandbox{"orvanta-cmdline"};
  StubTools stubs{sandbox / "stubs", {"launchctl", "killall"}};
  std::string home = sandbox / "home";
  std::map<std::string, std::string> installed;
};

TEST_F(CommandLine, AnswersBeforeTouchingTheAgent) {
  const std::string version = ORVANTA_VERSION;
  const Case cases[] = {
      {ORVANTA_UPDATE_BINARY, {"-h"}, kUpdateUsage},
      {ORVANTA_UPDATE_BINARY, {"--help"}, kUpdateUsage},
      {ORVANTA_UPDATE_BINARY, {"--version"}, "update " + version + "\n"},
      {ORVANTA_UNINSTALL_BINARY, {"-h"}, kUninstallUsage},
      {ORVANTA_UNINSTALL_BINARY, {"--help"}, kUninstallUsage},
      {ORVANTA_UNINSTALL_BINARY, {"--version"}, "uninstall " + version + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.arguments.front());
    const ProgramResult result = Run(c.program, c.arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(stubs.Calls().empty());
    EXPECT_EQ(Snapshot(home), installed);
  }
}

// An answer that cannot be written is a failure, not a silent success.
TEST_F(CommandLine, UnwritableOutputFails) {
  for (const char* program : {ORVANTA_UPDATE_BINARY, ORVANTA_UNINSTALL_BINARY}) {
    for (const char* request : {"--help", "--version"}) {
      SCOPED_TRACE(std::string(program) + " " + request);
      const ProgramResult result = Run(program, {request}, [] {
        const int full = open("/dev/full", O_WRONLY);
        if (full >= 0)
          dup2(full, STDOUT_FILENO);
      });
      EXPECT_EQ(result.status, 1);
      EXPECT_TRUE(stubs.Calls().empty());
      EXPECT_EQ(Snapshot(home), installed);
    }
  }
}

// update: only those exact texts, alone; anything else that is not FOLDER FIRST SECOND (after
// --check, or -- for operands that begin with "-") is a usage error: the usage on standard error,
// exit 2, nothing run. uninstall's refusals are in UninstallEndToEndTest.
TEST_F(CommandLine, UsageErrorsRunNothing) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {"--helpme"},
                                             {"-H"},
                                             {"folder", "--help"},
                                             {"--help", "folder", "a.zip", "b.zip"},
                                             {"--", "--help"},
                                             {"-folder", "a.zip", "b.zip"},
                                             {"folder", "a.zip"},
                                             {"folder", "a.zip", "b.zip", "c.zip"},
                                             {"folder", "", "b.zip"},
                                             {"--check", "folder", "a.zip"}}) {
    SCOPED_TRACE(arguments.empty() ? "(none)" : arguments.front());
    const ProgramResult result = Run(ORVANTA_UPDATE_BINARY, arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(kUpdateUsage), std::string::npos) << result.err;
    EXPECT_TRUE(stubs.Calls().empty());
    EXPECT_EQ(Snapshot(home), installed);
  }
}

// The README shows each program's usage text as it is printed.
TEST(CommandLineUsage, MatchesReadme) {
  const std::string readme = ReadFile(ORVANTA_SOURCE_DIR "/README.md");
  EXPECT_NE(readme.find(kUpdateUsage), std::string::npos) << kUpdateUsage;
  EXPECT_NE(readme.find(kUninstallUsage), std::string::npos) << kUninstallUsage;
}

} // namespace
} // namespace orvanta::test
