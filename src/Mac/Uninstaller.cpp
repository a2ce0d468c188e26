#include "Uninstaller.h"

#include "AgentControl.h"
#include "platform/Platform.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
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

// The removals' targets: each command less its "rm -rf ".
constexpr std::string_view kRemovePrefix = "rm -rf ";

// nullopt when item is gone (a link counts by itself); otherwise the line that says why it counts
// as left.
std::optional<std::string> Remains(const std::string& item) {
  struct stat status {};
  if (::lstat(item.c_str(), &status) == 0)
    return "could not remove " + QuoteForLog(item);
  if (errno == ENOENT || errno == ENOTDIR)
    return std::nullopt;
  return "cannot tell whether " + QuoteForLog(item) + " is gone: " + std::strerror(errno);
}

std::string Outcome(bool agentRunning, std::size_t remaining) {
  if (!agentRunning && remaining == 0)
    return "removed the agent";
  std::string outcome = "the agent is not fully removed:";
  if (agentRunning)
    outcome += " it still runs";
  if (remaining > 0)
    outcome += std::string(agentRunning ? "," : "") + " " + std::to_string(remaining) +
               (remaining == 1 ? " item remains" : " items remain");
  return outcome;
}

bool IsInfoRequest(const std::string& argument) {
  return argument == "-h" || argument == "--help" || argument == "--version";
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

std::vector<std::string> RemovedItems() {
  const char* home = std::getenv("HOME");
  std::vector<std::string> items;
  for (const std::string_view command : kRemovals) {
    std::string item(command.substr(kRemovePrefix.size()));
    if (item[0] == '~' && home != nullptr)
      item.replace(0, 1, home);
    items.push_back(item);
  }
  return items;
}

int RunUninstall(SystemServices& services, std::ostream& errors, RunLog& log,
                 const std::function<std::vector<std::string>()>& runningNames) {
  services.PrintLine(kUnregisterLine);
  services.RunCommand(kSystemUnload);
  services.RunCommand(kPerUserUnload);

  services.PrintLine(kTerminateLine);
  IssueKillSequence(services);

  bool agentRunning = false;
  if (!WaitForAgentToEnd(services)) {
    // The probe and the listing are two walks: the agent may have ended between them.
    const std::vector<std::string> still = runningNames();
    agentRunning = !still.empty();
    std::string names;
    for (const std::string& name : still)
      names += ' ' + name;
    if (agentRunning) {
      errors << "uninstall: gave up after " << kWaitLimitSeconds
             << " seconds; still running:" << names << '\n';
      log.Problem("gave up on the agent after " + std::to_string(kWaitLimitSeconds) +
                  " s; still running:" + names);
    }
  }
  if (!agentRunning)
    log.Step("the agent is stopped");

  // The files go even when the agent would not end: launchd no longer starts it.
  for (const char* command : kRemovals)
    if (const int status = services.RunCommand(command); status != 0)
      log.Problem(std::string(command) + ": " + DescribeWaitStatus(status));

  // rm's own status does not say whether the item is gone (a missing shell, a tool that lies),
  // so each item is looked at.
  std::size_t remaining = 0;
  for (const std::string& item : RemovedItems()) {
    if (const std::optional<std::string> left = Remains(item)) {
      ++remaining;
      errors << "uninstall: " << *left << '\n';
      log.Problem(*left);
    }
  }
  return log.End(Outcome(agentRunning, remaining), agentRunning || remaining > 0 ? 1 : 0);
}

int UninstallProgram(const std::vector<std::string>& arguments, SystemServices& services,
                     std::ostream& out, std::ostream& errors, RunLog& log) {
  if (arguments.size() == 1 && IsInfoRequest(arguments.front()))
    if (const std::optional<int> status =
            AnswerInfoRequest(arguments, "uninstall", kUninstallUsage, out))
      return *status;
  log.Start("uninstall", arguments);
  if (!arguments.empty()) {
    std::string given;
    for (const std::string& argument : arguments)
      given += ' ' + QuoteForLog(argument);
    errors << "uninstall: takes no arguments; given:" << given << '\n' << kUninstallUsage;
    errors.flush();
    log.Problem("refused the arguments: uninstall takes none");
    return log.End("usage error, nothing done", 2);
  }
  return RunUninstall(services, errors, log);
}

} // namespace orvanta::agent
