// The update run: stop the agent, extract both archives into a staging folder inside the folder,
// judge the staged pair there, swap it in by renames (the previous bundles kept as backups until
// the new pair is whole), clean up, reload the agent. A run killed on the way is completed or
// undone by the next run, from the record it keeps in the folder (UpdateRecord.h).
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
// empty), archives relative to the folder. Every failure is one line on errors. Returns the exit
// status: 0 when the run reached its end, the update installed or not; 1 when an archive
// argument was refused, a killed run's record could not be settled, or a file-system step failed.
// Termination signals are held from the unload on: the run reloads the agent and only then ends
// as the signal asked (through services, which does not return then). A signal in the stop phase
// leaves the folder untouched, one before the swap takes the failure branch, and one after the
// swap has begun waits until the new pair is whole.
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
