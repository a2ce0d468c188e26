#include "CommandLine.h"

#ifndef ORVANTA_VERSION
#error "the build defines ORVANTA_VERSION as the project's version"
#endif

namespace orvanta::agent {

const char kUpdateUsage[] =
    "Usage: update FOLDER FIRST-ARCHIVE SECOND-ARCHIVE\n"
    "       update -h | --help | --version\n"
    "\n"
    "Replaces the agent's bundles orvantaes.app and orvantaet.app in FOLDER with those in two\n"
    "zip archives (paths relative to FOLDER): stops the agent, extracts both archives with unzip\n"
    "into a private staging folder inside FOLDER, swaps the new bundles in by renames when both\n"
    "arrived whole (else keeps the previous ones), and loads the agent again. A run that was\n"
    "killed is completed or undone by the next one. With an argument missing it only stops and\n"
    "reloads the agent.\n"
    "\n"
    "Exit status: 0 when the run ends, whichever pair it kept; 1 when an archive argument was\n"
    "refused, a killed run could not be settled or a file-system step failed (each failure is\n"
    "one line on standard error); 128+N when signal N ended the run, after the reload.\n";

const char kUninstallUsage[] =
    "Usage: uninstall\n"
    "       uninstall -h | --help | --version\n"
    "\n"
    "Removes the agent: unloads it through launchctl (system-wide and per user), kills\n"
    "orvantaet and orvantaes with killall and waits for them to end, then removes\n"
    "/Library/LaunchAgents/com.orvanta.orvantaes.plist,\n"
    "~/Library/LaunchAgents/com.orvanta.orvantaes.plist, /Applications/ORVANTA-EX and\n"
    "~/Applications/ORVANTA-EX, and checks that they are gone. Each run is logged to the\n"
    "system log under the name orvanta-uninstall.\n"
    "\n"
    "Exit status: 0 when the agent is removed; 1 when it still ran after 30 seconds (its\n"
    "files are removed all the same) or an item remains (each is named on standard error);\n"
    "2 when arguments were given (nothing is done).\n";

const char* Version() {
  return ORVANTA_VERSION;
}

std::optional<int> AnswerInfoRequest(const std::vector<std::string>& arguments, const char* program,
                                     const char* usage, std::ostream& out) {
  // Only the first argument counts, and only these exact texts: anything else (an update folder
  // that starts with "-", say) keeps its meaning.
  if (arguments.empty())
    return std::nullopt;
  const std::string& first = arguments.front();
  if (first == "-h" || first == "--help")
    out << usage;
  else if (first == "--version")
    out << program << ' ' << Version() << '\n';
  else
    return std::nullopt;
  out.flush();
  return out ? 0 : 1;
}

} // namespace orvanta::agent
