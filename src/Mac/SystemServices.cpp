#include "SystemServices.h"

#include "AgentControl.h"

#include "Interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace orvanta::agent {
namespace {

constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kTerminationSignals / sizeof kTerminationSignals[0];

// One process, one set of handlers: the state lives here, not in the services object.
volatile std::sig_atomic_t gHeldSignal = 0;
struct sigaction gSaved[kSignalCount];
bool gInstalled[kSignalCount] = {};

extern "C" void RememberSignal(int signal) {
  if (gHeldSignal == 0)
    gHeldSignal = signal;
}

int IndexOf(int signal) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kTerminationSignals[i] == signal)
      return i;
  return -1;
}

// /bin/sh -c command, like system() but without ignoring SIGINT and SIGQUIT in this process
// while the command runs: a held interrupt must reach the handler. The child starts with the
// default actions (caught signals are reset by exec).
int SpawnShell(const std::string& command) {
  char shell[] = "sh", option[] = "-c";
  std::string text = command;
  char* argv[] = {shell, option, text.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ) != 0)
    return -1;
  int status = 0;
  if (sys::RetryOnInterrupt([&] { return waitpid(child, &status, 0); }) < 0)
    return -1;
  return status;
}

} // namespace

int RealSystemServices::RunCommand(const std::string& command) {
  if (holding_)
    return SpawnShell(command);
  return std::system(command.c_str());
}

void RealSystemServices::SleepSeconds(unsigned seconds) {
  // sleep() returns early when a signal arrives; finish the interval unless one is held.
  while (seconds > 0 && !(holding_ && gHeldSignal != 0))
    seconds = ::sleep(seconds);
}

bool RealSystemServices::AgentRunning() {
  return ExistProcess();
}

void RealSystemServices::PrintLine(const char* line) {
  std::puts(line);
  // On a pipe or a file stdout is fully buffered: the line must be out before the command it
  // announces writes its own.
  std::fflush(stdout);
}

void RealSystemServices::HoldTerminationSignals() {
  if (holding_)
    return;
  holding_ = true;
  gHeldSignal = 0;
  struct sigaction hold {};
  hold.sa_handler = RememberSignal;
  sigemptyset(&hold.sa_mask);
  hold.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; ++i) {
    gInstalled[i] = false;
    if (sigaction(kTerminationSignals[i], nullptr, &gSaved[i]) != 0)
      continue;
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (gSaved[i].sa_handler == SIG_IGN)
      continue;
    gInstalled[i] = sigaction(kTerminationSignals[i], &hold, nullptr) == 0;
  }
}

void RealSystemServices::HoldSignal(int signal) {
  const int index = IndexOf(signal);
  if (holding_ && index >= 0 && gInstalled[index])
    RememberSignal(signal);
}

int RealSystemServices::HeldSignal() {
  return gHeldSignal;
}

void RealSystemServices::ReleaseTerminationSignals() {
  if (!holding_)
    return;
  holding_ = false;
  for (int i = 0; i < kSignalCount; ++i) {
    if (gInstalled[i])
      sigaction(kTerminationSignals[i], &gSaved[i], nullptr);
    gInstalled[i] = false;
  }
  const int held = gHeldSignal;
  if (held == 0)
    return;
  // End as the signal asked, so that the caller (a shell, say) sees the signal itself.
  std::fflush(nullptr);
  std::signal(held, SIG_DFL);
  std::raise(held);
  std::_Exit(128 + held);
}

void SetUpLaunchConditions() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open takes the lowest free number: this gap, as the lower ones are filled already.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
}

void IssueKillSequence(SystemServices& services) {
  for (const char* command : kKillSequence)
    services.RunCommand(command);
}

} // namespace orvanta::agent
