// The seam between the programs' logic and the machine: shell commands, sleeping, the agent
// probe, progress output and interrupt handling. main wires the real services; tests record.
#ifndef ORVANTA_MAC_SYSTEMSERVICES_H
#define ORVANTA_MAC_SYSTEMSERVICES_H

#include <string>

namespace orvanta::agent {

class SystemServices {
public:
  virtual ~SystemServices() = default;
  // Runs the command through /bin/sh and waits for it; the wait status as system() gives it.
  virtual int RunCommand(const std::string& command) = 0;
  virtual void SleepSeconds(unsigned seconds) = 0;
  // ExistProcess on the real machine.
  virtual bool AgentRunning() = 0;
  // One progress line on standard output, as puts() writes it.
  virtual void PrintLine(const char* line) = 0;
};

// The real machine: system(), sleep(), ExistProcess(), puts().
class RealSystemServices : public SystemServices {
public:
  int RunCommand(const std::string& command) override;
  void SleepSeconds(unsigned seconds) override;
  bool AgentRunning() override;
  void PrintLine(const char* line) override;
};

// Issues the four killall commands of the kill sequence in their order.
void IssueKillSequence(SystemServices& services);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_SYSTEMSERVICES_H
