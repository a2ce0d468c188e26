// The resident agent's identity, the shell commands that unload, kill and reload it, and the
// probe that tells whether it still runs. One definition shared by update and uninstall.
#ifndef ORVANTA_MAC_AGENTCONTROL_H
#define ORVANTA_MAC_AGENTCONTROL_H

#include <array>

namespace orvanta::agent {

inline constexpr const char* kServiceProcessName = "orvantaes";
inline constexpr const char* kCompanionProcessName = "orvantaet";
inline constexpr const char* kPropertyListName = "com.orvanta.orvantaes.plist";
inline constexpr const char* kPerUserAgentFolder = "~/Library/LaunchAgents";
inline constexpr const char* kSystemAgentFolder = "/Library/LaunchAgents";

// Each string goes whole to /bin/sh, which expands the leading "~".
inline constexpr const char* kPerUserUnload =
    "launchctl unload ~/Library/LaunchAgents/com.orvanta.orvantaes.plist";
inline constexpr const char* kSystemUnload =
    "launchctl unload /Library/LaunchAgents/com.orvanta.orvantaes.plist";
inline constexpr const char* kPerUserReload =
    "launchctl load -w ~/Library/LaunchAgents/com.orvanta.orvantaes.plist";
// Without the dash, killall reads "9" as one more process name and sends its default SIGTERM:
// the agent is first asked to end, then forced. Companion before service in each pair.
inline constexpr std::array<const char*, 4> kKillSequence = {
    "killall 9 orvantaet", "killall 9 orvantaes", "killall -9 orvantaet", "killall -9 orvantaes"};

} // namespace orvanta::agent

// True when a running process of the calling user (same real uid) is named exactly "orvantaet"
// or "orvantaes" (case-sensitive, whole name); false otherwise, also when the process list cannot
// be read. Another user's agent is not the caller's to wait for.
bool ExistProcess();

#endif // ORVANTA_MAC_AGENTCONTROL_H
