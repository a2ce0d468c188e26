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
// line on errors. From the first rename until the reload has been issued, termination signals
// are held: the run restores or keeps a whole pair, reloads, and only then ends as the signal
// asked (through services, which does not return then).
int RunUpdate(const std::vector<std::string>& arguments, SystemServices& services,
              std::ostream& errors);

// How one unzip command ended, read from its wait status.
enum class UnzipResult {
  Completed,   // 0 done, 1 warnings only, 9 no archive there (nothing was written)
  Failed,      // the archive could not be extracted whole: corrupt, disk full, out of memory,
               // killed by a signal, no shell...
  Interrupted, // unzip or its shell ended by the user's interrupt (SIGINT, or unzip's own 80)
};
UnzipResult ClassifyUnzipStatus(int waitStatus);

// The unzip command for one archive, each path quoted for /bin/sh so that it stays literal.
std::string UnzipCommand(const std::string& archive, const std::string& folder);

// text single-quoted for /bin/sh, with each ' inside written as '\''.
std::string ShellQuote(const std::string& text);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UPDATER_H
