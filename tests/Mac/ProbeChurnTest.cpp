// The agent probe while processes start and exit quickly around it: thousands of short-lived
// children, some named almost like the agent (names that also test the reading of the process
// list: parentheses, spaces). The probe must never see the agent where there is none, and must
// keep seeing it where it runs.
#include "AgentControl.h"
#include "TestSupport.h"
#include "Uninstaller.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace orvanta::test {
namespace {

constexpr int kChildren = 2000; // per phase
constexpr int kAtOnce = 16;     // children alive (or unreaped) at the same time

const char* const kLookalikes[] = {"Orvantaes",     "orvantaesx", "orvantae",  "orvantaes) R",
                                   "x (orvantaet)", "orvantaet ", "ORVANTAET", "orvantaes.app"};

// A process that starts kChildren short-lived programs under the lookalike names, at most
// kAtOnce at a time, and then exits. Returns its pid.
pid_t StartChurn(const std::vector<std::string>& programs) {
  std::fflush(nullptr);
  const pid_t churn = fork();
  if (churn != 0)
    return churn;
  int alive = 0;
  for (int started = 0; started < kChildren; ++started) {
    if (alive == kAtOnce) {
      while (waitpid(-1, nullptr, 0) < 0 && errno == EINTR) {
      }
      --alive;
    }
    const std::string& program = programs[static_cast<size_t>(started) % programs.size()];
    const pid_t child = fork();
    if (child == 0) {
      const std::string name = std::filesystem::path(program).filename().string();
      execl(program.c_str(), name.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (child > 0)
      ++alive;
  }
  while (alive > 0 && waitpid(-1, nullptr, 0) > 0)
    --alive;
  _exit(0);
}

// Probes until the churn has ended; returns how often the probe answered true, and how often in
// all through `probes`.
int ProbeDuring(pid_t churn, int& probes) {
  int sawAgent = 0;
  probes = 0;
  for (;;) {
    const pid_t done = waitpid(churn, nullptr, WNOHANG);
    sawAgent += ExistProcess() ? 1 : 0;
    ++probes;
    if (done == churn)
      return sawAgent;
  }
}

TEST(ProbeChurn, NoFalseAnswersWhileProcessesComeAndGo) {
  ASSERT_FALSE(ExistProcess()) << "an agent process runs on this machine";
  ScratchDir dir;
  std::vector<std::string> programs;
  for (const char* name : kLookalikes) {
    programs.push_back(dir / name);
    std::filesystem::copy_file("/bin/true", programs.back());
    chmod(programs.back().c_str(), 0755);
  }

  // No agent: the probe never says yes, however the list changes under it.
  int probes = 0;
  EXPECT_EQ(ProbeDuring(StartChurn(programs), probes), 0) << "of " << probes << " probes";
  EXPECT_GT(probes, 0);
  EXPECT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{});

  // The companion runs all along: every probe finds it.
  const std::string companion = dir / "orvantaet";
  std::filesystem::copy_file("/bin/sleep", companion);
  chmod(companion.c_str(), 0755);
  const pid_t agent = fork();
  if (agent == 0) {
    execl(companion.c_str(), "orvantaet", "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  while (!ExistProcess())
    ASSERT_EQ(waitpid(agent, nullptr, WNOHANG), 0) << "the stand-in agent did not start";
  const int found = ProbeDuring(StartChurn(programs), probes);
  EXPECT_EQ(found, probes);
  EXPECT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{"orvantaet"});
  kill(agent, SIGKILL);
  waitpid(agent, nullptr, 0);
  EXPECT_FALSE(ExistProcess());
}

} // namespace
} // namespace orvanta::test
