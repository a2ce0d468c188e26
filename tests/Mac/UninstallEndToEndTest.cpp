// The built uninstall program in a sandbox: recording stubs stand in for launchctl and killall,
// the real rm removes the per-user files under a scratch HOME.
#include "CommandLine.h"
#include "SystemLogCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

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

// A sandbox with recording stubs for launchctl and killall, and the agent's per-user files in
// its HOME.
struct InstalledAgent {
  ScratchDir sandbox{"orvanta-uninstall"};
  StubTools stubs{sandbox / "stubs", {"launchctl", "killall"}};
  std::string home = sandbox / "home";

  InstalledAgent() {
    MakeDirs(home + "/Library/LaunchAgents");
    WriteFile(home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist", "<plist/>");
    MakeDirs(home + "/Applications/ORVANTA-EX/orvantaes.app/Contents");
  }
  ProgramOptions Options(std::vector<std::string> arguments = {}) const {
    return {std::move(arguments), {{"HOME", home}, {"PATH", stubs.Path()}}, {}, {}};
  }
};

// What the per-user removals leave of the agent's files.
const std::map<std::string, std::string> kEmptied = {
    {"Library", "dir"}, {"Library/LaunchAgents", "dir"}, {"Applications", "dir"}};

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
      RunProgram(ORVANTA_UNINSTALL_BINARY, {{}, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, {}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kProgressLines);
  EXPECT_EQ(stubs.Calls(), ExpectedCalls(home));
  EXPECT_TRUE(Snapshot(home).empty());
}

// Launched with its output on a pipe whose reader is gone, SIGPIPE at its default: the lines are
// lost, yet the files go and the run succeeds.
TEST(UninstallEndToEnd, OutputReaderGone) {
  InstalledAgent agent;
  ProgramOptions options = agent.Options();
  options.inChild = OutputToGoneReader;
  const ProgramResult result = RunProgram(ORVANTA_UNINSTALL_BINARY, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(agent.stubs.Calls(), ExpectedCalls(agent.home));
  EXPECT_EQ(Snapshot(agent.home), kEmptied);
}

// Each progress line is out before the command it announces writes, whether the output is a file
// or a pipe (shared with standard error, as a launcher collects it).
TEST(UninstallEndToEnd, ProgressLinesComeBeforeTheirCommands) {
  ScratchDir sandbox("orvanta-uninstall");
  const std::string bin = sandbox / "bin", home = sandbox / "home";
  MakeDirs(bin);
  MakeDirs(home);
  // Tools that say what they were asked, on standard output.
  for (const char* tool : {"launchctl", "killall"})
    WriteFile(bin + "/" + tool, std::string("#!/bin/sh\necho \"") + tool + " $*\"\n", 0755);
  const std::string expected =
      "unregister service\r\n"
      "launchctl unload /Library/LaunchAgents/com.orvanta.orvantaes.plist\n"
      "launchctl unload " +
      home +
      "/Library/LaunchAgents/com.orvanta.orvantaes.plist\n"
      "terminate process\r\n"
      "killall 9 orvantaet\nkillall 9 orvantaes\nkillall -9 orvantaet\nkillall -9 orvantaes\n";
  ProgramOptions options{{}, {{"HOME", home}, {"PATH", bin + ":/usr/bin:/bin"}}, {}, {}};

  // A file: RunProgram's own capture.
  const ProgramResult toFile = RunProgram(ORVANTA_UNINSTALL_BINARY, options);
  EXPECT_EQ(toFile.status, 0);
  EXPECT_EQ(toFile.out, expected);

  // A pipe for both streams, read once the run is over (the text is far below a pipe's size).
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  options.inChild = [&] {
    dup2(ends[1], STDOUT_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[0]);
    close(ends[1]);
  };
  const ProgramResult toPipe = RunProgram(ORVANTA_UNINSTALL_BINARY, options);
  close(ends[1]);
  std::string piped;
  char buffer[4096];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
    piped.append(buffer, static_cast<std::size_t>(n));
  close(ends[0]);
  EXPECT_EQ(toPipe.status, 0);
  EXPECT_EQ(piped, expected);
}

// Any argument but -h, --help or --version alone: a line and the usage on standard error, exit
// status 2, nothing called and nothing removed.
TEST(UninstallEndToEnd, ArgumentsAreAUsageError) {
  InstalledAgent agent;
  const auto installed = Snapshot(agent.home);
  const struct {
    std::vector<std::string> arguments;
    std::string given;
  } cases[] = {{{"--dry-run"}, "'--dry-run'"},
               {{"--version", "ignored"}, "'--version' 'ignored'"},
               {{"--verbose", "--help"}, "'--verbose' '--help'"},
               {{""}, "''"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    const ProgramResult result = RunProgram(ORVANTA_UNINSTALL_BINARY, agent.Options(c.arguments));
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "uninstall: takes no arguments; given: " + c.given + "\n" +
                              orvanta::agent::kUninstallUsage);
    EXPECT_TRUE(agent.stubs.Calls().empty());
    EXPECT_EQ(Snapshot(agent.home), installed);
  }
}

// A per-user HOME owned by nobody, holding the agent's files; inside the application folder a
// folder of root's that nobody cannot empty. The sandbox is open to nobody.
struct FolderNobodyCannotEmpty : InstalledAgent {
  std::string folder = home + "/Applications/ORVANTA-EX";

  FolderNobodyCannotEmpty() {
    chmod(sandbox.path().c_str(), 0755);
    chmod(stubs.log().c_str(), 0666);
    const std::string nobody = std::to_string(NobodyUid());
    EXPECT_EQ(std::system(("chown -R " + nobody + " '" + home + "'").c_str()), 0);
    MakeDirs(folder + "/sub");
    WriteFile(folder + "/sub/f", "root's");
  }
  ProgramOptions AsNobody() const {
    ProgramOptions options = Options();
    options.runAs = NobodyUid();
    return options;
  }
};

// rm fails inside the folder: the run names it on standard error and exits 1; what could go, went.
TEST(UninstallEndToEnd, RemovalThatFailsIsReported) {
  ORVANTA_REQUIRE_RUN_AS(NobodyUid());
  FolderNobodyCannotEmpty fixture;
  const ProgramResult result = RunProgram(ORVANTA_UNINSTALL_BINARY, fixture.AsNobody());
  ORVANTA_SKIP_IF_REFUSED(result);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, kProgressLines);
  EXPECT_NE(result.err.find("rm: cannot remove '" + fixture.folder + "/sub/f'"), std::string::npos)
      << result.err;
  const std::string named = "uninstall: could not remove '" + fixture.folder + "'\n";
  ASSERT_GE(result.err.size(), named.size());
  EXPECT_EQ(result.err.substr(result.err.size() - named.size()), named);
  const std::map<std::string, std::string> left = {
      {"Library", "dir"},
      {"Library/LaunchAgents", "dir"},
      {"Applications", "dir"},
      {"Applications/ORVANTA-EX", "dir"},
      {"Applications/ORVANTA-EX/sub", "dir"},
      {"Applications/ORVANTA-EX/sub/f", "file: root's"}};
  EXPECT_EQ(Snapshot(fixture.home), left);
}

// Each outcome leaves its story in the system log under uninstall's ident and pid: the start with
// the arguments, the steps that decided, the end with outcome, status and duration.
TEST(UninstallLog, EachOutcomeLeavesItsLines) {
  const std::string start = "start: uninstall";
  const std::string version = std::string(" (version ") + ORVANTA_VERSION + ")";
  FolderNobodyCannotEmpty fixture;
  const std::string removed = "end: removed the agent; exit status 0; N s";
  const struct {
    const char* name;
    ProgramOptions options;
    std::vector<std::string> lines;
    std::vector<int> severities;
  } cases[] = {
      {"removed",
       {{}, {{"HOME", fixture.sandbox / "other-home"}, {"PATH", fixture.stubs.Path()}}, {}, {}},
       {start + version, "the agent is stopped", removed},
       {LOG_INFO, LOG_INFO, LOG_NOTICE}},
      {"usage error",
       {{"--dry-run", "it's"}, {{"PATH", fixture.stubs.Path()}}, {}, {}},
       {start + " '--dry-run' 'it'\\''s'" + version, "refused the arguments: uninstall takes none",
        "end: usage error, nothing done; exit status 2; N s"},
       {LOG_INFO, LOG_WARNING, LOG_ERR}},
      {"a folder nobody cannot empty",
       fixture.AsNobody(),
       {start + version, "the agent is stopped", "rm -rf ~/Applications/ORVANTA-EX: exit status 1",
        "could not remove '" + fixture.folder + "'",
        "end: the agent is not fully removed: 1 item remains; exit status 1; N s"},
       {LOG_INFO, LOG_INFO, LOG_WARNING, LOG_WARNING, LOG_ERR}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LoggedRun run = RunProgramLogged(ORVANTA_UNINSTALL_BINARY, c.options);
    ORVANTA_SKIP_IF_REFUSED(run);
    ASSERT_EQ(run.error, "");
    ExpectLogged(run, "orvanta-uninstall", c.lines, c.severities);
  }
}

// No log service, one that stopped reading, one that died, or a stream socket: the run does its
// work and reports it exactly as with a reading log service.
TEST(UninstallLog, RunsWhateverTheLogService) {
  for (const LogSocket socket :
       {LogSocket::kAbsent, LogSocket::kStuck, LogSocket::kDead, LogSocket::kStream}) {
    SCOPED_TRACE(static_cast<int>(socket));
    InstalledAgent agent;
    const LoggedRun run = RunProgramLogged(ORVANTA_UNINSTALL_BINARY, agent.Options(), socket);
    ORVANTA_SKIP_IF_REFUSED(run);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.program.status, 0);
    EXPECT_EQ(run.program.out, kProgressLines);
    EXPECT_EQ(run.program.err, "");
    EXPECT_EQ(agent.stubs.Calls(), ExpectedCalls(agent.home));
    EXPECT_EQ(Snapshot(agent.home), kEmptied);
  }
}

} // namespace
} // namespace orvanta::test
