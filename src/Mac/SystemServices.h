// The seam between the programs' logic and the machine: shell commands, sleeping and the clock,
// the agent probe, progress output and signal handling. main wires the real services; tests
// record.
#ifndef ORVANTA_MAC_SYSTEMSERVICES_H
#define ORVANTA_MAC_SYSTEMSERVICES_H

#include <chrono>
#include <string>
#include <vector>

namespace orvanta::agent {

class SystemServices {
public:
  virtual ~SystemServices() = default;
  // Runs the command through /bin/sh and waits for it; the wait status as system() gives it, -1
  // when no shell could be started. While signals are held the shell runs in a session of its
  // own (no controlling terminal) with standard input on /dev/null.
  virtual int RunCommand(const std::string& command) = 0;
  // RunCommand, except that a signal held while the command runs ends it at once: its whole
  // process group is killed, and the wait status says so.
  virtual int RunCommandUntilSignal(const std::string& command) = 0;
  // Sleeps; returns early once a held signal has arrived.
  virtual void SleepSeconds(unsigned seconds) = 0;
  virtual void Sleep(std::chrono::milliseconds interval) = 0;
  // A monotonic clock, for measuring waits.
  virtual std::chrono::milliseconds Now() = 0;
  // ExistProcess on the real machine.
  virtual bool AgentRunning() = 0;
  // One progress line on standard output, as puts() writes it, flushed at once.
  virtual void PrintLine(const char* line) = 0;

  // From now on every catchable signal whose default action ends the process (HoldableSignals;
  // those the process does not ignore) is held: the first to arrive is remembered instead of
  // ending the process.
  virtual void HoldTerminationSignals() = 0;
  // Counts the signal as held, as if it had arrived now (a tool died of the user's interrupt).
  // Ignored when the signal is not being held.
  virtual void HoldSignal(int signal) = 0;
  // The first signal held so far; 0 when none.
  virtual int HeldSignal() = 0;
  // Stops holding. A held signal then ends the process as it would have (no return); without
  // one the call returns and signals act as before.
  virtual void ReleaseTerminationSignals() = 0;
};

// The real machine: posix_spawn or system(), nanosleep, the steady clock, ExistProcess(), puts(),
// signal handlers.
class RealSystemServices : public SystemServices {
public:
  int RunCommand(const std::string& command) override;
  int RunCommandUntilSignal(const std::string& command) override;
  void SleepSeconds(unsigned seconds) override;
  void Sleep(std::chrono::milliseconds interval) override;
  std::chrono::milliseconds Now() override;
  bool AgentRunning() override;
  void PrintLine(const char* line) override;
  void HoldTerminationSignals() override;
  void HoldSignal(int signal) override;
  int HeldSignal() override;
  void ReleaseTerminationSignals() override;

private:
  bool holding_ = false;
};

// The signals HoldTerminationSignals holds: SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
// SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, and where the platform has them SIGPOLL, SIGPWR,
// SIGSTKFLT, SIGLOST and the real-time signals. Left out: SIGKILL and SIGSTOP (not catchable),
// SIGPIPE (ignored by SetUpLaunchConditions), and the signals of a fault in the process itself
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS), which must end it where it stands.
std::vector<int> HoldableSignals();

// Makes the process safe to run however it was launched: fds 0 to 2, when closed, are opened on
// /dev/null (so no file the run opens takes a standard stream's number); SIGPIPE is ignored (a
// line to a reader that is gone fails instead of ending the run, and the tools inherit that);
// SIGCHLD is reset to its default (an ignored one would make every wait fail). Call first in main.
void SetUpLaunchConditions();

// Issues the four killall commands of the kill sequence in their order.
void IssueKillSequence(SystemServices& services);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_SYSTEMSERVICES_H
