// Two real update runs on one folder, the second started at a dozen instants inside the first
// (fixed seed): one of them installs, the other finds the folder locked, says so in one line,
// exits 75 and runs no command at all; the folder ends with the whole new pair.
#include "TestSupport.h"
#include "Updater.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace orvanta::test {
namespace {

using agent::ShellQuote;
using Tree = std::map<std::string, std::string>;
namespace stdfs = std::filesystem;

const char* const kBundles[] = {"orvantaes.app", "orvantaet.app"};

void MakeBundle(const std::string& at, const std::string& version) {
  std::mt19937 random(version.size() * 7919u + static_cast<unsigned>(version.back()));
  for (int file = 0; file < 60; ++file) {
    const std::string dir = at + "/Contents/Resources/r" + std::to_string(file % 8);
    MakeDirs(dir);
    WriteFile(dir + "/f" + std::to_string(file),
              version + std::string(2048 + random() % 4096, 'x'));
  }
  MakeDirs(at + "/Contents/MacOS");
  WriteFile(at + "/Contents/MacOS/agent", "binary " + version, 0755);
}

class UpdateConcurrency : public ::testing::Test {
public:
  void SetUp() override {
    for (const std::string& dir : {stubs, release, folder})
      MakeDirs(dir);
    // Each call is logged with the run that made it. The agent takes a moment to die and to load,
    // as a real one does, so that the first run holds the folder a while, and a while longer
    // after the last instant the second one may start at.
    const std::string script = "#!/bin/sh\n"
                               "printf '%s %s\\n' \"$RUN_TAG\" \"${0##*/} $*\" >> " +
                               ShellQuote(log) +
                               "\n"
                               "case \"${0##*/}\" in\n"
                               "  killall) sleep 0.05 ;;\n"
                               "  launchctl) [ \"$1\" = load ] && sleep 0.2\n"
                               // A tool may leave a process behind that outlives the run.
                               "    [ \"$1\" = load ] && [ -n \"$LEAVE_RUNNING\" ] &&\n"
                               "      { sleep 30 </dev/null >/dev/null 2>&1 & echo $! > "
                               "\"$LEAVE_RUNNING\"; } ;;\n"
                               "  unzip) exec /usr/bin/unzip \"$@\" ;;\n"
                               "esac\n"
                               "exit 0\n";
    for (const char* tool : {"launchctl", "killall", "unzip"})
      WriteFile(stubs + "/" + tool, script, 0755);
    for (const char* bundle : kBundles) {
      MakeBundle(release + "/v1/" + bundle, "v1");
      MakeBundle(release + "/v2/" + bundle, "v2");
      const std::string zip =
          "cd " + ShellQuote(release + "/v2") + " && zip -qry ../" + bundle + ".zip " + bundle;
      ASSERT_EQ(std::system(zip.c_str()), 0);
    }
    newPair = Snapshot(release + "/v2");
  }
  void Prepare() {
    stdfs::remove_all(folder);
    stdfs::copy(release + "/v1", folder, stdfs::copy_options::recursive);
    for (const char* bundle : kBundles)
      stdfs::copy_file(release + "/" + bundle + ".zip", folder + "/" + bundle + ".zip");
    WriteFile(log, "");
  }
  // Starts update on the folder; its standard error goes to sandbox/TAG.err.
  pid_t Start(const std::string& tag, const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = {"PATH=" + stubs + ":/usr/bin:/bin", "HOME=" + sandbox / "home",
                                    "RUN_TAG=" + tag};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("PATH=", 0) != 0 && text.rfind("HOME=", 0) != 0)
        env.push_back(text);
    }
    std::vector<char*> envp;
    for (std::string& text : env)
      envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string program = ORVANTA_UPDATE_BINARY, first = "orvantaes.app.zip",
                second = "orvantaet.app.zip";
    std::string target = folder;
    char* argv[] = {program.data(), target.data(), first.data(), second.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string errors = sandbox / (tag + ".err");
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // The logged calls of one run.
  std::vector<std::string> CallsOf(const std::string& tag) const {
    std::vector<std::string> calls;
    std::istringstream lines(ReadFile(log));
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(tag + " ", 0) == 0)
        calls.push_back(line);
    return calls;
  }

  ScratchDir sandbox{"orvanta-concurrency"};
  const std::string stubs = sandbox / "stubs", release = sandbox / "release",
                    folder = sandbox / "apps", log = sandbox / "calls.log";
  Tree newPair;
};

TEST_F(UpdateConcurrency, SecondRunFindsTheFolderLocked) {
  // How long one run takes here, undisturbed; the shorter of two.
  double runSeconds = 1e9;
  for (int run = 0; run < 2; ++run) {
    Prepare();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Wait(Start("alone")), 0) << ReadFile(sandbox / "alone.err");
    runSeconds =
        std::min(runSeconds,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_EQ(Snapshot(folder), newPair);
  }
  constexpr int kOffsets = 12;
  std::mt19937 random(20261211);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  for (int slice = 0; slice < kOffsets; ++slice) {
    // Inside the first run, short of its reload and clean-up at the end.
    const double offset = runSeconds * (0.02 + 0.7 * (slice + within(random)) / kOffsets);
    SCOPED_TRACE("second run started " + std::to_string(offset) + " s into a " +
                 std::to_string(runSeconds) + " s run");
    Prepare();
    const pid_t first = Start("A");
    std::this_thread::sleep_for(std::chrono::duration<double>(offset));
    const pid_t second = Start("B");
    const int statusA = Wait(first), statusB = Wait(second);

    EXPECT_EQ(Snapshot(folder), newPair);
    std::vector<int> statuses = {statusA, statusB};
    std::sort(statuses.begin(), statuses.end());
    ASSERT_EQ(statuses, (std::vector<int>{0, 75}))
        << ReadFile(sandbox / "A.err") << ReadFile(sandbox / "B.err");
    const std::string busy = statusA == 75 ? "A" : "B";
    EXPECT_EQ(CallsOf(busy), std::vector<std::string>{});
    const std::string said = ReadFile(sandbox / (busy + ".err"));
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("another update is running"), std::string::npos) << said;
  }
}

// Only unzip inherits the folder's lock: a process another tool leaves running (the agent that
// launchctl starts, say) must not keep the next update out.
TEST_F(UpdateConcurrency, WhatAToolLeavesRunningDoesNotHoldTheFolder) {
  Prepare();
  const std::string leftPid = sandbox / "left.pid";
  ASSERT_EQ(Wait(Start("first", {"LEAVE_RUNNING=" + leftPid})), 0)
      << ReadFile(sandbox / "first.err");
  const pid_t left = static_cast<pid_t>(std::stol(ReadFile(leftPid)));
  ASSERT_EQ(::kill(left, 0), 0) << "the process the tool left is still running";
  // The same folder (a new one would be another lock), with the archives placed again.
  for (const char* bundle : kBundles)
    stdfs::copy_file(release + "/" + bundle + ".zip", folder + "/" + bundle + ".zip");
  const int status = Wait(Start("next"));
  ::kill(left, SIGKILL);
  EXPECT_EQ(status, 0) << ReadFile(sandbox / "next.err");
  EXPECT_EQ(Snapshot(folder), newPair);
}

} // namespace
} // namespace orvanta::test
