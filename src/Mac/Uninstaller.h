// The uninstall run: unload the agent, kill it, wait for it to end, remove its files, and check
// that they are gone.
#ifndef ORVANTA_MAC_UNINSTALLER_H
#define ORVANTA_MAC_UNINSTALLER_H

#include "RunLog.h"
#include "SystemServices.h"

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace orvanta::agent {

// The ident of uninstall's records in the system log.
inline constexpr const char* kUninstallLogIdent = "orvanta-uninstall";

// The two progress lines; puts() adds the line feed after each carriage return.
inline constexpr const char* kUnregisterLine = "unregister service\r";
inline constexpr const char* kTerminateLine = "terminate process\r";

// The removals only the uninstaller runs, system-wide before per-user in each pair. /bin/sh
// expands the leading "~".
inline constexpr std::array<const char*, 4> kRemovals = {
    "rm -rf /Library/LaunchAgents/com.orvanta.orvantaes.plist",
    "rm -rf ~/Library/LaunchAgents/com.orvanta.orvantaes.plist", "rm -rf /Applications/ORVANTA-EX",
    "rm -rf ~/Applications/ORVANTA-EX"};

// What the removals delete, in their order, each "~" expanded as /bin/sh expands it: to the
// value of HOME (even an empty one); with HOME unset it stays "~", a folder of that name below
// the working folder.
std::vector<std::string> RemovedItems();

// While the agent outlives the kill sequence, it is killed again every kKillIntervalSeconds of
// waiting; after kWaitLimitSeconds the run gives up on it (and still removes its files).
inline constexpr unsigned kKillIntervalSeconds = 5;
inline constexpr unsigned kWaitLimitSeconds = 30;

// The agent's process names that run right now, companion first; empty when neither runs or the
// process list cannot be read.
std::vector<std::string> RunningAgentProcesses();

// Runs the whole sequence, then checks that every item of RemovedItems() is gone (a link counts
// by itself, not by what it leads to). Returns the exit status: 0, or 1 when the agent still ran
// after the wait limit (one line on errors naming the processes that runningNames reports) or
// when an item remains (one line on errors for each, naming it). The log, already started, gets
// how the wait ended, each removal command that failed with its status, each item that remains,
// and the end line with the outcome.
int RunUninstall(
    SystemServices& services, std::ostream& errors, RunLog& log,
    const std::function<std::vector<std::string>()>& runningNames = RunningAgentProcesses);

// The program after its launch conditions are set: -h, --help or --version given alone is
// answered on out, with nothing logged or run; otherwise the log starts, and any argument is a
// usage error (a line and the usage on errors, exit status 2, logged, nothing run), while none
// runs RunUninstall.
int UninstallProgram(const std::vector<std::string>& arguments, SystemServices& services,
                     std::ostream& out, std::ostream& errors, RunLog& log);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UNINSTALLER_H
