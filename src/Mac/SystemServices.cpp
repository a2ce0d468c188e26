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
#include <ctime>

extern char** environ;

namespace orvanta::agent {
namespace {

// Signal numbers stay below this on every platform we know; a larger one is not held.
constexpr int kSignalLimit = 128;

// One process, one set of handlers: the state lives here, not in the services object.
volatile std::sig_atomic_t gHeldSignal = 0;
struct sigaction gSaved[kSignalLimit];
bool gInstalled[kSignalLimit] = {};

extern "C" void RememberSignal(int signal) {
  if (gHeldSignal == 0)
    gHeldSignal = signal;
}

extern "C" void WakeOnChild(int) {}

bool Installed(int signal) {
  return signal > 0 && signal < kSignalLimit && gInstalled[signal];
}

// The held signals and SIGCHLD, which end a wait for a tool.
sigset_t WaitSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  for (const int signal : HoldableSignals())
    if (Installed(signal))
      sigaddset(&set, signal);
  return set;
}

// /bin/sh -c command in a session of its own (so no terminal can stop it to prompt, and a
// terminal's interrupt reaches this process alone), standard input on /dev/null, no signal
// blocked. Returns the shell's pid, or -1.
pid_t SpawnShell(const std::string& command) {
  char shell[] = "sh", option[] = "-c";
  std::string text = command;
  char* argv[] = {shell, option, text.data(), nullptr};
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attributes) != 0)
    return -1;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  pid_t child = -1;
  const bool ready =
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK) == 0 &&
      posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
  if (ready && posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, environ) != 0)
    child = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return child;
}

// Waits for the shell. The wait wakes on every held signal; with killOnSignal, the first one
// kills the shell's process group (its session: the shell and whatever it started).
int WaitForShell(pid_t child, bool killOnSignal) {
  // Signals are blocked between the check and the wait, and sigsuspend lets them in atomically:
  // one arriving in between cannot be missed.
  const sigset_t wake = WaitSignals();
  sigset_t saved;
  sigprocmask(SIG_BLOCK, &wake, &saved);
  sigset_t waiting = saved;
  for (int signal = 1; signal < kSignalLimit; ++signal)
    if (sigismember(&wake, signal) == 1)
      sigdelset(&waiting, signal);
  // SIGCHLD at its default action is discarded and would not end sigsuspend.
  struct sigaction onChild {
  }, savedChild{};
  onChild.sa_handler = WakeOnChild;
  sigemptyset(&onChild.sa_mask);
  onChild.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &onChild, &savedChild);

  int status = -1;
  bool killed = false;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child)
      break;
    if (done < 0 && errno != EINTR) {
      status = -1;
      break;
    }
    if (killOnSignal && !killed && gHeldSignal != 0) {
      kill(-child, SIGKILL);
      killed = true;
      continue;
    }
    sigsuspend(&waiting);
  }
  sigaction(SIGCHLD, &savedChild, nullptr);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return status;
}

int RunShell(const std::string& command, bool killOnSignal) {
  const pid_t child = SpawnShell(command);
  return child < 0 ? -1 : WaitForShell(child, killOnSignal);
}

} // namespace

std::vector<int> HoldableSignals() {
  std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                              SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
  // SIGIO is left out where it is not SIGPOLL: the BSDs discard it by default.
#ifdef SIGPOLL
  signals.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
  signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
#if defined(SIGLOST) && (!defined(SIGPWR) || SIGLOST != SIGPWR)
  signals.push_back(SIGLOST);
#endif
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
    signals.push_back(signal);
#endif
  return signals;
}

int RealSystemServices::RunCommand(const std::string& command) {
  if (holding_)
    return RunShell(command, false);
  return std::system(command.c_str());
}

int RealSystemServices::RunCommandUntilSignal(const std::string& command) {
  if (holding_)
    return RunShell(command, true);
  return std::system(command.c_str());
}

void RealSystemServices::SleepSeconds(unsigned seconds) {
  // sleep() returns early when a signal arrives; finish the interval unless one is held.
  while (seconds > 0 && !(holding_ && gHeldSignal != 0))
    seconds = ::sleep(seconds);
}

void RealSystemServices::Sleep(std::chrono::milliseconds interval) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval);
  timespec left{static_cast<std::time_t>(seconds.count()),
                static_cast<long>((interval - seconds).count() * 1000000)};
  // nanosleep stops early for a signal whatever SA_RESTART says; go on unless one is held.
  while (nanosleep(&left, &left) != 0 && errno == EINTR && !(holding_ && gHeldSignal != 0)) {
  }
}

std::chrono::milliseconds RealSystemServices::Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
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
  for (const int signal : HoldableSignals()) {
    if (signal <= 0 || signal >= kSignalLimit)
      continue;
    gInstalled[signal] = false;
    if (sigaction(signal, nullptr, &gSaved[signal]) != 0)
      continue;
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (gSaved[signal].sa_handler == SIG_IGN)
      continue;
    gInstalled[signal] = sigaction(signal, &hold, nullptr) == 0;
  }
}

void RealSystemServices::HoldSignal(int signal) {
  if (holding_ && Installed(signal))
    RememberSignal(signal);
}

int RealSystemServices::HeldSignal() {
  return gHeldSignal;
}

void RealSystemServices::ReleaseTerminationSignals() {
  if (!holding_)
    return;
  holding_ = false;
  for (int signal = 1; signal < kSignalLimit; ++signal) {
    if (gInstalled[signal])
      sigaction(signal, &gSaved[signal], nullptr);
    gInstalled[signal] = false;
  }
  const int held = gHeldSignal;
  if (held == 0)
    return;
  // End as the signal asked, so that the caller (a shell, say) sees the signal itself.
  std::fflush(nullptr);
  std::signal(held, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, held);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
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
