#include "Uninstaller.h"

#include "RecordingServices.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

struct UninstallRun {
  RecordingServices services;
  std::ostringstream errors;
  int status = -1;
  int listings = 0;

  // The agent runs until the fake clock reaches stopsAt (never when nullopt); the listing at the
  // give-up reports `still`.
  UninstallRun(std::optional<unsigned> stopsAt,
               std::vector<std::string> still = {"orvantaet", "orvantaes"}) {
    services.agentRunning = [stopsAt](int, unsigned clock) { return !stopsAt || clock < *stopsAt; };
    status = RunUninstall(services, errors, [this, still] {
      ++listings;
      return still;
    });
  }
};

// The whole sequence when the agent is already gone: one probe, no sleep.
TEST(Uninstaller, AgentAlreadyGone) {
  UninstallRun run(0);
  EXPECT_EQ(run.services.events, Concat({kStart, {"probe: no"}, kRemovals}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors.str(), "");
  EXPECT_EQ(run.listings, 0);
}

// The agent outlives two probes: one-second sleeps between probes, no further kill.
TEST(Uninstaller, AgentGoneAfterTwoProbes) {
  UninstallRun run(2);
  EXPECT_EQ(
      run.services.events,
      Concat({kStart, {"probe: yes", "sleep 1", "probe: yes", "sleep 1", "probe: no"}, kRemovals}));
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
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
            Concat({{"probe: yes"}, kRemovals}));
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

} // namespace
} // namespace orvanta::test
