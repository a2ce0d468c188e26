// The built uninstall program against an agent that something else starts again as soon as it
// is killed: the real killall ends it, a respawner brings it back, and the bounded wait gives up.
// So that no probe falls into the moment between two agents, killall is wrapped: after the real
// one, the wrapper waits until the respawner reports the next agent running.
#include "TestSupport.h"
#include "Uninstaller.h"
#include "Updater.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace orvanta::test {
namespace {

// A process group that keeps one process named like the service running: whenever it ends, the
// next one starts, and once it has started (its exec closed the pipe) its number is written to
// the generation file. Everything in the group is killed when the scope ends.
class Respawner {
public:
  Respawner(const std::string& program, const std::string& generationFile) {
    std::fflush(nullptr);
    group_ = fork();
    if (group_ != 0)
      return;
    setpgid(0, 0);
    for (int generation = 1;; ++generation) {
      int started[2];
      if (pipe(started) != 0 || fcntl(started[1], F_SETFD, FD_CLOEXEC) != 0)
        _exit(1);
      const pid_t agent = fork();
      if (agent == 0) {
        execl(program.c_str(), "orvantaes", "600", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (agent < 0)
        _exit(1);
      close(started[1]);
      char byte;
      while (read(started[0], &byte, 1) < 0 && errno == EINTR) {
      }
      close(started[0]);
      WriteFile(generationFile + ".new", std::to_string(generation));
      std::rename((generationFile + ".new").c_str(), generationFile.c_str());
      while (waitpid(agent, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  ~Respawner() {
    kill(-group_, SIGKILL);
    kill(group_, SIGKILL);
    waitpid(group_, nullptr, 0);
    // The last agent is not the test's child: on a loaded machine it may still be dying (and then
    // waiting for init to reap it) after its parent was reaped. Wait until the group is gone.
    for (int tries = 0; tries < 5000 && kill(-group_, 0) == 0; ++tries)
      usleep(1000);
  }

private:
  pid_t group_ = -1;
};

// killall as the real one, then, when the service was named, a wait for its next generation.
void WriteKillallWrapper(const std::string& stubs, const std::string& generationFile) {
  std::string real;
  for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"})
    if (real.empty() && access((std::string(dir) + "/killall").c_str(), X_OK) == 0)
      real = std::string(dir) + "/killall";
  ASSERT_FALSE(real.empty()) << "killall is not installed";
  const std::string generation = "\"$(cat " + agent::ShellQuote(generationFile) + ")\"";
  WriteFile(stubs + "/killall",
            "#!/bin/sh\nbefore=" + generation + "\n" + agent::ShellQuote(real) +
                " \"$@\"\nstatus=$?\n"
                "case \" $* \" in *\" orvantaes \"*)\n"
                "  tries=0\n"
                "  while [ " +
                generation +
                " = \"$before\" ] && [ $tries -lt 1000 ]; do sleep 0.01; tries=$((tries + 1)); "
                "done ;;\n"
                "esac\nexit $status\n",
            0755);
}

TEST(UninstallChurn, AgentStartedAgainWhileWaitingGivesUpAndStillRemoves) {
  ScratchDir sandbox("orvanta-uninstall");
  StubTools stubs(sandbox / "stubs", {"launchctl"});
  const std::string generationFile = sandbox / "generation";
  WriteKillallWrapper(stubs.folder(), generationFile);
  const std::string home = sandbox / "home";
  MakeDirs(home + "/Library/LaunchAgents");
  WriteFile(home + "/Library/LaunchAgents/com.orvanta.orvantaes.plist", "<plist/>");
  MakeDirs(home + "/Applications/ORVANTA-EX/orvantaes.app");
  const std::string service = sandbox / "orvantaes";
  std::filesystem::copy_file("/bin/sleep", service);
  chmod(service.c_str(), 0755);

  ProgramResult result;
  {
    Respawner respawner(service, generationFile);
    while (!std::filesystem::exists(generationFile))
      usleep(1000);
    result = RunProgram(ORVANTA_UNINSTALL_BINARY,
                        {{}, {{"HOME", home}, {"PATH", stubs.Path()}}, {}, {}});
  }

  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "unregister service\r\nterminate process\r\n");
  EXPECT_NE(result.err.find("gave up after " + std::to_string(agent::kWaitLimitSeconds) +
                            " seconds; still running: orvantaes"),
            std::string::npos)
      << result.err;
  // The removals ran all the same.
  EXPECT_EQ(Snapshot(home),
            (std::map<std::string, std::string>{
                {"Library", "dir"}, {"Library/LaunchAgents", "dir"}, {"Applications", "dir"}}));
  EXPECT_EQ(agent::RunningAgentProcesses(), std::vector<std::string>{});
}

} // namespace
} // namespace orvanta::test
