// The probe and the kill sequence against real processes named like the agent: copies of sleep.
#include "AgentControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>

namespace {

using namespace orvanta::test;

// A running copy of sleep under the given name; killed and reaped when the scope ends.
class NamedProcess {
public:
  // With owner set, the process runs as that user (real and effective uid).
  NamedProcess(const ScratchDir& dir, const std::string& name,
               std::optional<uid_t> owner = std::nullopt) {
    const std::string program = dir / name;
    std::filesystem::copy_file("/bin/sleep", program,
                               std::filesystem::copy_options::overwrite_existing);
    chmod(program.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      if (owner && (setgroups(0, nullptr) != 0 || setgid(getgid()) != 0 || setuid(*owner) != 0))
        _exit(126);
      execl(program.c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the exec has given the process its new name.
    for (int i = 0; i < 500 && !HasName(name); ++i)
      usleep(2000);
    started_ = HasName(name);
  }
  bool started() const { return started_; }
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
  bool started_ = false;
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

// Another user's agent is not the caller's: the probe does not see it, so neither program waits
// for it (uninstall would otherwise wait 30 seconds and report failure).
TEST(ExistProcess, IgnoresAnotherUsersAgent) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to start a process as another user";
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  NamedProcess foreign(dir, "orvantaes", NobodyUid());
  ASSERT_TRUE(foreign.started()) << "could not start a process as nobody";
  EXPECT_FALSE(ExistProcess());

  StubTools stubs(dir / "stubs", {"launchctl", "killall"});
  ProgramOptions options;
  options.env = {{"PATH", stubs.Path()}, {"HOME", dir / "home"}};
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = RunProgram(ORVANTA_UNINSTALL_BINARY, options);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(foreign.Alive()); // the stub killall spared it; the probe never waited for it

  NamedProcess own(dir, "orvantaet");
  EXPECT_TRUE(ExistProcess());
}

TEST(UpdateWithRealKillall, StopsTheAgentAndSparesLookalikes) {
  ScratchDir sandbox;
  StubTools stubs(sandbox / "stubs", {"launchctl"}); // killall is the real one
  NamedProcess service(sandbox, "orvantaes");
  NamedProcess companion(sandbox, "orvantaet");
  NamedProcess lookalike(sandbox, "Orvantaes");
  ASSERT_TRUE(ExistProcess());

  // The agent is stopped only for the swap of a whole pair: the run needs archives that make one.
  const std::string folder = sandbox / "apps", source = sandbox / "source";
  for (const char* bundle : {"orvantaes.app", "orvantaet.app"}) {
    MakeDirs(source + "/" + bundle + "/Contents");
    WriteFile(source + "/" + bundle + "/Contents/Info.plist", "<plist/>");
  }
  MakeDirs(folder);
  ASSERT_EQ(std::system(("cd '" + source + "' && zip -qr '" + folder + "/a.zip' orvantaes.app && " +
                         "zip -qr '" + folder + "/b.zip' orvantaet.app")
                            .c_str()),
            0);
  ProgramOptions options;
  options.arguments = {folder, "a.zip", "b.zip"};
  options.env = {{"PATH", stubs.Path()}, {"HOME", sandbox / "home"}};
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult result = RunProgram(ORVANTA_UPDATE_BINARY, options);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_FALSE(ExistProcess());
  EXPECT_FALSE(service.Alive());
  EXPECT_FALSE(companion.Alive());
  EXPECT_TRUE(lookalike.Alive());
  // A probe soon after the kill sequence found the agent gone: no further rounds.
  EXPECT_LT(elapsed, std::chrono::seconds(4));
}

} // namespace
