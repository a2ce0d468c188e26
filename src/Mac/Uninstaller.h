// The uninstall run: unload the agent, kill it, wait for it to end, remove its files.
#ifndef ORVANTA_MAC_UNINSTALLER_H
#define ORVANTA_MAC_UNINSTALLER_H

#include "SystemServices.h"

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace orvanta::agent {

// The two progress lines; puts() adds the line feed after each carriage return.
inline constexpr const char* kUnregisterLine = "unregister service\r";
inline constexpr const char* kTerminateLine = "terminate process\r";

// The removals only the uninstaller runs, system-wide before per-user in each pair. /bin/sh
// expands the leading "~".
inline constexpr std::array<const char*, 4> kRemovals = {
    "rm -rf /Library/LaunchAgents/com.orvanta.orvantaes.plist",
    "rm -rf ~/Library/LaunchAgents/com.orvanta.orvantaes.plist", "rm -rf /Applications/ORVANTA-EX",
    "rm -rf ~/Applications/ORVANTA-EX"};

// While the agent outlives the kill sequence, it is killed again every kKillIntervalSeconds of
// waiting; after kWaitLimitSeconds the run gives up on it (and still removes its files).
inline constexpr unsigned kKillIntervalSeconds = 5;
inline constexpr unsigned kWaitLimitSeconds = 30;

// The agent's process names that run right now, companion first; empty when neither runs or the
// process list cannot be read.
std::vector<std::string> RunningAgentProcesses();

// Runs the whole sequence; every command's own status is ignored. Returns the exit status: 0, or
// 1 when the agent still ran after the wait limit, which is then one line on errors naming the
// processes that runningNames reports.
int RunUninstall(
    SystemServices& services, std::ostream& errors,
    const std::function<std::vector<std::string>()>& runningNames = RunningAgentProcesses);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UNINSTALLER_H
