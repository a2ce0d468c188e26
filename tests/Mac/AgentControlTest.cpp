// The probe and the kill sequence against real processes named like the agent: copies of sleep.
#include "AgentControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

namespace {

using namespace orvanta::test;

// A running copy of sleep under the given name; killed and reaped when the scope ends.
class NamedProcess {
public:
  NamedProcess(const ScratchDir& dir, const std::string& name) {
    const std::string program = dir / name;
    std::filesystem::copy_file("/bin/sleep", program,
                               std::filesystem::copy_options::overwrite_existing);
    chmod(program.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      execl(program.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the exec has given the process its new name.
    for (int i = 0; i < 500 && !HasName(name); ++i)
      usleep(2000);
  }
  ~NamedProcess() {
    if (pid_ > 0)
      kill(pid_, SIGKILL);
    Reap();
  }
  // Leaves the process exited but not yet reaped.
  void KillWithoutReaping() {
    kill(pid_, SIGKILL);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  void Reap() {
    if (pid_ > 0 && waitpid(pid_, nullptr, 0) == pid_)
      pid_ = -1;
  }
  // Reaps the process if it has ended, so that its pid is never signalled again.
  bool Alive() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_)
      pid_ = -1;
    return pid_ > 0;
  }

private:
  bool HasName(const std::string& name) const {
    return ReadFile("/proc/" + std::to_string(pid_) + "/comm") == name + "\n";
  }
  pid_t pid_ = -1;
};

TEST(ExistProcess, MatchesOnlyTheExactNamesOfRunningProcesses) {
  ScratchDir dir;
  EXPECT_FALSE(ExistProcess());
  {
    NamedProcess lookalikes[] = {
        {dir, "Orvantaes"}, {dir, "orvantaesx"}, {dir, "orvanta"}, {dir, "ORVANTAET"}};
    EXPECT_FALSE(ExistProcess());
  }
  {
    NamedProcess companion(dir, "orvantaet");
    EXPECT_TRUE(ExistProcess());
  }
  {
    NamedProcess service(dir, "orvantaes");
    EXPECT_TRUE(ExistProcess());
    service.KillWithoutReaping(); // a zombie runs no more
    EXPECT_FALSE(ExistProcess());
  }
}

TEST(UpdateWithRealKillall, StopsTheAgentAndSparesLookalikes) {
  ScratchDir sandbox;
  StubTools stubs(sandbox / "stubs", {"launchctl"}); // killall is the real one
  NamedProcess service(sandbox, "orvantaes");
  NamedProcess companion(sandbox, "orvantaet");
  NamedProcess lookalike(sandbox, "Orvantaes");
  ASSERT_TRUE(ExistProcess());

  ProgramOptions options;
  options.env = {{"PATH", stubs.Path()}, {"HOME", sandbox / "home"}};
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = RunProgram(ORVANTA_UPDATE_BINARY, options);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(ExistProcess());
  EXPECT_FALSE(service.Alive());
  EXPECT_FALSE(companion.Alive());
  EXPECT_TRUE(lookalike.Alive());
  // The first probe after the one-second pause found the agent gone: no further rounds.
  EXPECT_LT(elapsed, std::chrono::seconds(4));
}

} // namespace
