#include "Uninstaller.h"

#include "AgentControl.h"
#include "platform/Platform.h"

#include <string_view>

namespace orvanta::agent {
namespace {

// Waits for the agent to end, killing it again at every interval. True when it ended within the
// limit.
bool WaitForAgentToEnd(SystemServices& services) {
  for (unsigned waited = 0; services.AgentRunning(); ++waited) {
    if (waited >= kWaitLimitSeconds)
      return false;
    if (waited > 0 && waited % kKillIntervalSeconds == 0)
      IssueKillSequence(services);
    services.SleepSeconds(1);
  }
  return true;
}

} // namespace

std::vector<std::string> RunningAgentProcesses() {
  std::vector<std::string> running;
  for (const char* name : {kCompanionProcessName, kServiceProcessName}) {
    const std::string_view wanted = name;
    if (platform::AnyProcess([wanted](std::string_view seen) { return seen == wanted; }))
      running.emplace_back(name);
  }
  return running;
}

int RunUninstall(SystemServices& services, std::ostream& errors,
                 const std::function<std::vector<std::string>()>& runningNames) {
  services.PrintLine(kUnregisterLine);
  services.RunCommand(kSystemUnload);
  services.RunCommand(kPerUserUnload);

  services.PrintLine(kTerminateLine);
  IssueKillSequence(services);

  int status = 0;
  if (!WaitForAgentToEnd(services)) {
    // The probe and the listing are two walks: the agent may have ended between them.
    const std::vector<std::string> still = runningNames();
    if (!still.empty()) {
      errors << "uninstall: gave up after " << kWaitLimitSeconds << " seconds; still running:";
      for (const std::string& name : still)
        errors << ' ' << name;
      errors << '\n';
      status = 1;
    }
  }

  // The files go even when the agent would not end: launchd no longer starts it.
  for (const char* command : kRemovals)
    services.RunCommand(command);
  return status;
}

} // namespace orvanta::agent
