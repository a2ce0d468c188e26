// The update run. Under an exclusive lock on the folder: settle a killed run, stage and judge the
// new pair with the agent still running (both archives extracted into a private staging folder
// inside the folder), record durably that the pair may go forward, stop the agent, swap the pair
// in by renames, reload the agent as soon as the new pair is whole, then clean up. The record
// (UpdateRecord.h) lets the next run complete or undo a run killed at any instant.
#ifndef ORVANTA_MAC_UPDATER_H
#define ORVANTA_MAC_UPDATER_H

#include "RunLog.h"
#include "SystemServices.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace orvanta::agent {

inline constexpr const char* kServiceBundleName = "orvantaes.app";
inline constexpr const char* kCompanionBundleName = "orvantaet.app";

// The ident of update's records in the system log.
inline constexpr const char* kUpdateLogIdent = "orvanta-update";

// The stop phase: after the unload and the kill sequence the process list is probed every
// kProbeInterval; while the agent still runs the kill sequence is sent again every
// kKillInterval; after kStopLimit the update goes on regardless.
inline constexpr std::chrono::milliseconds kProbeInterval{50};
inline constexpr std::chrono::milliseconds kKillInterval{1000};
inline constexpr std::chrono::milliseconds kStopLimit{11000};

// The exit statuses of update.
inline constexpr int kExitInstalled = 0;    // the new pair is in place (also --check: it would be)
inline constexpr int kExitError = 1;        // refused argument, failed step, unsettled record
inline constexpr int kExitUsage = 2;        // the command line is wrong; nothing ran
inline constexpr int kExitNotInstalled = 3; // the previous pair is kept
inline constexpr int kExitBusy = 75;        // another run holds the folder (EX_TEMPFAIL)

// What the command line asks for.
struct UpdateRequest {
  enum class Kind { Update, Check, Help, Version, Usage } kind = Kind::Usage;
  std::string folder, first, second; // Update and Check
  std::string problem;               // Usage: what is wrong
};
// "-h", "--help" or "--version" alone; or FOLDER FIRST SECOND, non-empty, optionally after
// "--check"; "--" ends the options, so that operands may begin with "-". Anything else is Usage.
UpdateRequest ParseUpdateArguments(const std::vector<std::string>& arguments);

// The whole program: answers -h/--help/--version on out (nothing logged), runs the update or the
// check, and returns the exit status above (128+N when signal N ends the run, through services,
// which then does not return). Each failure is one line on errors ("update: ..."); the run ends
// with one line of its own saying what happened and why: on out when the status is 0, on errors
// otherwise (a failure line that would only repeat it is folded into it). A usage error is its
// line and the usage on errors. The log, not yet started, gets the run's start, the steps that
// decide its outcome, and its end (the outcome without the reason, the exit status and the
// duration), written before a held signal ends the process.
int RunUpdate(const std::vector<std::string>& arguments, SystemServices& services,
              std::ostream& out, std::ostream& errors, RunLog& log);

// How one unzip command ended, read from its wait status.
enum class UnzipResult {
  Completed,   // 0 done, 1 warnings only
  NoArchive,   // 9: no archive there (nothing was written), or a file that is no zip archive
  Failed,      // the archive could not be extracted whole: corrupt, encrypted, disk full, out of
               // memory, killed by a signal, no shell...
  Interrupted, // unzip or its shell ended by the user's interrupt (SIGINT, or unzip's own 80)
};
UnzipResult ClassifyUnzipStatus(int waitStatus);

// The unzip command for one archive, each path quoted for /bin/sh so that it stays literal, and
// written "./-..." when it begins with "-" so that unzip never reads it as an option.
std::string UnzipCommand(const std::string& archive, const std::string& folder);

// text single-quoted for /bin/sh, with each ' inside written as '\''.
std::string ShellQuote(const std::string& text);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UPDATER_H
