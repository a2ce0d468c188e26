// The update run: stop the agent, move the two bundles aside, extract both archives into the
// folder, keep the new bundles or restore the old ones, reload the agent.
#ifndef ORVANTA_MAC_UPDATER_H
#define ORVANTA_MAC_UPDATER_H

#include "SystemServices.h"

#include <ostream>
#include <string>
#include <vector>

namespace orvanta::agent {

inline constexpr const char* kServiceBundleName = "orvantaes.app";
inline constexpr const char* kCompanionBundleName = "orvantaet.app";
// Attempts to stop the agent after the first kill sequence before the update goes on regardless.
inline constexpr int kStopProbes = 10;

// arguments: folder, first archive, second archive (further ones ignored; missing ones count as
// empty), archives relative to the folder. Returns the exit status: 0, or 1 when a file-system
// operation after the extraction, or a rollback of the backups, failed; each such failure is one
// line on errors.
int RunUpdate(const std::vector<std::string>& arguments, SystemServices& services,
              std::ostream& errors);

// The unzip command for one archive, each path quoted for /bin/sh so that it stays literal.
std::string UnzipCommand(const std::string& archive, const std::string& folder);

// text single-quoted for /bin/sh, with each ' inside written as '\''.
std::string ShellQuote(const std::string& text);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UPDATER_H
