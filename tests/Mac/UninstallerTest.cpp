#include "Uninstaller.h"

#include "CommandLine.h"
#include "RecordingServices.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

namespace orvanta::test {
namespace {

using agent::RunUninstall;

const std::vector<std::string> kStart = {
    "print: unregister service\r",
    "launchctl unload /Library/LaunchAgents/com.orvanta.orvantaes.plist",
    "launchctl unload ~/Library/LaunchAgents/com.orvanta.orvantaes.plist",
    "print: terminate process\r",
    "killall 9 orvantaet",
    "killall 9 orvantaes",
    "killall -9 orvantaet",
    "killall -9 orvantaes"};
const std::vector<std::string> kRemovals = {
    "rm -rf /Library/LaunchAgents/com.orvanta.orvantaes.plist",
    "rm -rf ~/Library/LaunchAgents/com.orvanta.orvantaes.plist", "rm -rf /Applications/ORVANTA-EX",
    "rm -rf ~/Applications/ORVANTA-EX"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The fake clock at each kill sequence, read off the recorded events.
std::vector<unsigned> KillClocks(const std::vector<std::string>& events) {
  std::vector<unsigned> clocks;
  unsigned clock = 0;
  for (const std::string& event : events) {
    if (event.rfind("sleep ", 0) == 0)
      clock += static_cast<unsigned>(std::stoul(event.substr(6)));
    else if (event == "killall 9 orvantaet")
      clocks.push_back(clock);
  }
  return clocks;
}

// A scratch HOME for the run, so that the check after the removals looks at the test's own
// per-user items only.
struct ScratchHome {
  ScratchDir home{"orvanta-home"};
  ScopedEnv env{"HOME", home.path()};
  std::string Item(const std::string& relative) const { return home / relative; }
};

struct UninstallRun : ScratchHome {
  RecordingServices services;
  agent::RunLog log = services.Log();
  std::ostringstream errors;
  int status = -1;
  int listings = 0;

  // The agent runs until the fake clock reaches stopsAt (never when nullopt); the listing at the
  // give-up reports `still`.
  UninstallRun(std::optional<unsigned> stopsAt,
               std::vector<std::string> still = {"orvantaet", "orvantaes"}) {
    services.agentRunning = [stopsAt](int, unsigned clock) { return !stopsAt || clock < *stopsAt; };
    status = RunUninstall(services, errors, log, [this, still] {
      ++listings;
      return still;
    });
  }
};

// The whole sequence when the agent is already gone: one probe, no sleep.
TEST(Uninstaller, AgentAlreadyGone) {
  UninstallRun run(0);
  EXPECT_EQ(run.services.events, Concat({kStart,
                                         {"probe: no", "log: the agent is stopped"},
                                         kRemovals,
                                         {"log: end: removed the agent; exit status 0; 0.00 s"}}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors.str(), "");
  EXPECT_EQ(run.listings, 0);
}

// The agent outlives two probes: one-second sleeps between probes, no further kill.
TEST(Uninstaller, AgentGoneAfterTwoProbes) {
  UninstallRun run(2);
  EXPECT_EQ(run.services.events, Concat({kStart,
                                         {"probe: yes", "sleep 1", "probe: yes", "sleep 1",
                                          "probe: no", "log: the agent is stopped"},
                                         kRemovals,
                                         {"log: end: removed the agent; exit status 0; 2.00 s"}}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors.str(), "");
}

// An agent that never ends is killed again every 5 s, given up on at 30 s, and its files still go.
TEST(Uninstaller, AgentNeverGone) {
  UninstallRun run(std::nullopt);
  const auto& events = run.services.events;
  EXPECT_EQ(KillClocks(events), (std::vector<unsigned>{0, 5, 10, 15, 20, 25}));
  EXPECT_EQ(run.services.clock, 30u);
  EXPECT_EQ(run.services.probes, 31);
  // The last probe comes at 30 s and is followed only by the removals.
  ASSERT_GE(events.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 7, events.end()),
            Concat({{"probe: yes",
                     "log: gave up on the agent after 30 s; still running: orvantaet orvantaes"},
                    kRemovals,
                    {"log: end: the agent is not fully removed: it still runs; exit status 1; "
                     "30.00 s"}}));
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 8), kStart);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors.str(), "uninstall: gave up after 30 seconds; still running: orvantaet "
                              "orvantaes\n");
  EXPECT_EQ(run.listings, 1);
}

// When the agent ends decides how often it is killed and how the run ends.
TEST(Uninstaller, WaitBounds) {
  struct Case {
    std::optional<unsigned> stopsAt;
    std::vector<std::string> still;
    std::vector<unsigned> killClocks;
    int status;
    std::string errors;
  };
  const std::vector<unsigned> allKills = {0, 5, 10, 15, 20, 25};
  const Case cases[] = {
      {5, {}, {0}, 0, ""},       // gone at the probe where a second kill was due
      {6, {}, {0, 5}, 0, ""},    // needed the second kill
      {30, {}, allKills, 0, ""}, // gone at the very last probe
      {std::nullopt,
       {"orvantaes"},
       allKills,
       1,
       "uninstall: gave up after 30 seconds; still running: orvantaes\n"},
      // The probe saw it at 30 s but it ended before the listing: nothing is left running.
      {std::nullopt, {}, allKills, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopsAt ? std::to_string(*c.stopsAt) : "never");
    UninstallRun run(c.stopsAt, c.still);
    EXPECT_EQ(KillClocks(run.services.events), c.killClocks);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.errors.str(), c.errors);
    const auto& commands = run.services.commands;
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 4, commands.end()), kRemovals);
  }
}

// The listing names exactly the agent processes that run, seen in the real process list.
TEST(Uninstaller, RunningAgentProcessesSeesRealProcesses) {
  ASSERT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{})
      << "an agent process runs on this machine";
  ScratchDir scratch;
  const auto start = [&](const std::string& name) {
    const std::string copy = scratch / name;
    std::filesystem::copy_file("/bin/sleep", copy);
    const pid_t child = fork();
    if (child == 0) {
      execl(copy.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    return child;
  };
  const pid_t companion = start("orvantaet");
  const pid_t lookalike = start("orvantaesx");
  // exec has happened once the child's name shows.
  while (agent::RunningAgentProcesses().empty()) {
    ASSERT_EQ(waitpid(companion, nullptr, WNOHANG), 0) << "the stand-in agent did not start";
    usleep(1000);
  }
  EXPECT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{"orvantaet"});
  for (const pid_t child : {companion, lookalike}) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{});
}

// After the removals every per-user item is looked at: one that is still there (a link counts by
// itself) is named on errors and in the log, and makes the exit status 1, whatever rm reported.
TEST(Uninstaller, ChecksThatItemsAreGone) {
  const std::string plist = "Library/LaunchAgents/com.orvanta.orvantaes.plist";
  const std::string folder = "Applications/ORVANTA-EX";
  struct Case {
    const char* name;
    int rmStatus;                                  // the wait status each per-user removal reports
    std::function<void(const ScratchHome&)> leave; // what stands after the removals
    std::vector<std::string> left;                 // items named, relative to HOME
  };
  const auto nothing = [](const ScratchHome&) {};
  const Case cases[] = {
      {"removed", 0, nothing, {}},
      {"rm failed on the folder",
       1 << 8,
       [&](const ScratchHome& h) { MakeDirs(h.Item(folder + "/sub")); },
       {folder}},
      {"rm reported success and removed nothing",
       0,
       [&](const ScratchHome& h) {
         MakeDirs(h.Item("Library/LaunchAgents"));
         WriteFile(h.Item(plist), "<plist/>");
         MakeDirs(h.Item(folder));
       },
       {plist, folder}},
      {"a dangling link left at the plist's name",
       0,
       [&](const ScratchHome& h) {
         MakeDirs(h.Item("Library/LaunchAgents"));
         std::filesystem::create_symlink(h.Item("nowhere"), h.Item(plist));
       },
       {plist}},
      {"rm failed, yet the items are gone", 1 << 8, nothing, {}},
      {"no shell", -1, nothing, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchHome home;
    RecordingServices services;
    agent::RunLog log = services.Log();
    services.commandStatus = [&](const std::string& command) {
      return command.find(" ~/") != std::string::npos ? c.rmStatus : 0;
    };
    services.onCommand = [&](const std::string& command) {
      if (command == kRemovals.back())
        c.leave(home);
    };
    std::ostringstream errors;
    const int status =
        RunUninstall(services, errors, log, [] { return std::vector<std::string>{}; });

    std::string expectedErrors;
    std::vector<std::string> expectedLog = {"the agent is stopped"};
    if (c.rmStatus != 0)
      for (const char* item : {plist.c_str(), folder.c_str()})
        expectedLog.push_back("rm -rf ~/" + std::string(item) + ": " +
                              (c.rmStatus == -1 ? "could not be run" : "exit status 1"));
    for (const std::string& item : c.left) {
      expectedErrors += "uninstall: could not remove '" + home.Item(item) + "'\n";
      expectedLog.push_back("could not remove '" + home.Item(item) + "'");
    }
    const std::size_t n = c.left.size();
    expectedLog.push_back(n == 0 ? "end: removed the agent; exit status 0; 0.00 s"
                                 : "end: the agent is not fully removed: " + std::to_string(n) +
                                       (n == 1 ? " item remains" : " items remain") +
                                       "; exit status 1; 0.00 s");
    EXPECT_EQ(status, n == 0 ? 0 : 1);
    EXPECT_EQ(errors.str(), expectedErrors);
    std::vector<std::string> logged;
    for (const auto& [level, line] : services.logged)
      logged.push_back(line);
    EXPECT_EQ(logged, expectedLog);
    // What went wrong is a warning; a failed run ends in an error.
    EXPECT_EQ(services.logged.back().first,
              n == 0 ? platform::EventLevel::kNotice : platform::EventLevel::kError);
  }
}

// "~" in the removals is what /bin/sh makes of it: HOME's value, even an empty one, and "~"
// itself when HOME is unset.
TEST(Uninstaller, RemovedItemsExpandHomeAsTheShellDoes) {
  for (const std::optional<std::string>& home :
       {std::optional<std::string>("/home/o'brien dir"), std::optional<std::string>(""),
        std::optional<std::string>(), std::optional<std::string>("/trailing/")}) {
    SCOPED_TRACE(home ? "HOME=" + *home : "HOME unset");
    ScopedEnv env("HOME", home);
    ScratchDir scratch;
    const std::string shellSays = scratch / "expanded";
    std::string script;
    for (const std::string& command : kRemovals)
      script += "printf '%s\\n' " + command.substr(7) + " >> '" + shellSays + "'; ";
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::string expected;
    for (const std::string& item : agent::RemovedItems())
      expected += item + "\n";
    EXPECT_EQ(ReadFile(shellSays), expected);
  }
}

// Only -h, --help or --version alone is answered; any other argument is a usage error that runs
// nothing and is logged.
TEST(Uninstaller, UsageErrors) {
  const std::string version = ORVANTA_VERSION;
  const std::vector<std::vector<std::string>> refused = {
      {"--dry-run"}, {"--help", "extra"}, {"--version", "--help"}, {""}, {"-h", "-h"}, {"a\nb"}};
  for (const std::vector<std::string>& arguments : refused) {
    SCOPED_TRACE(arguments.front());
    RecordingServices services;
    agent::RunLog log = services.Log();
    std::ostringstream out, errors;
    const int status = agent::UninstallProgram(arguments, services, out, errors, log);
    std::string given;
    for (const std::string& argument : arguments)
      given += " " + agent::QuoteForLog(argument);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(errors.str(),
              "uninstall: takes no arguments; given:" + given + "\n" + agent::kUninstallUsage);
    EXPECT_EQ(services.events, (std::vector<std::string>{
                                   "log: start: uninstall" + given + " (version " + version + ")",
                                   "log: refused the arguments: uninstall takes none",
                                   "log: end: usage error, nothing done; exit status 2; 0.00 s"}));
  }
  for (const char* request : {"-h", "--help", "--version"}) {
    SCOPED_TRACE(request);
    RecordingServices services;
    agent::RunLog log = services.Log();
    std::ostringstream out, errors;
    EXPECT_EQ(agent::UninstallProgram({request}, services, out, errors, log), 0);
    EXPECT_NE(out.str(), "");
    EXPECT_EQ(errors.str(), "");
    EXPECT_TRUE(services.events.empty());
  }
}

} // namespace
} // namespace orvanta::test
