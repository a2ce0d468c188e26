#include "SystemServices.h"

#include "AgentControl.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace orvanta::agent {

int RealSystemServices::RunCommand(const std::string& command) {
  return std::system(command.c_str());
}

void RealSystemServices::SleepSeconds(unsigned seconds) {
  // sleep() returns early when a signal arrives; finish the interval.
  while (seconds > 0)
    seconds = ::sleep(seconds);
}

bool RealSystemServices::AgentRunning() {
  return ExistProcess();
}

void RealSystemServices::PrintLine(const char* line) {
  std::puts(line);
}

void IssueKillSequence(SystemServices& services) {
  for (const char* command : kKillSequence)
    services.RunCommand(command);
}

} // namespace orvanta::agent
