#include "CommandLine.h"

#ifndef ORVANTA_VERSION
#error "the build defines ORVANTA_VERSION as the project's version"
#endif

namespace orvanta::agent {

const char kUpdateUsage[] =
    "Usage: update [--check] [--] FOLDER FIRST-ARCHIVE SECOND-ARCHIVE\n"
    "       update -h | --help | --version\n"
    "\n"
    "Replaces the agent's bundles orvantaes.app and orvantaet.app in FOLDER with those in two\n"
    "zip archives (paths relative to FOLDER, inside it). Holding a lock on FOLDER, it settles a\n"
    "run that was killed, extracts both archives with unzip into a private staging folder inside\n"
    "FOLDER and judges the pair there while the agent runs; only a whole pair stops the agent,\n"
    "is swapped in by renames, and has the agent loaded again at once. With --check it only\n"
    "stages and judges the pair, then removes the staging folder: archives, bundles and agent\n"
    "are left alone. \"--\" ends the options, for a FOLDER that begins with \"-\".\n"
    "\n"
    "The run ends with one line of its own saying what happened: on standard output with\n"
    "exit status 0, on standard error with the reason otherwise. Each run is logged to the\n"
    "system log under the name orvanta-update.\n"
    "\n"
    "Exit status (each failure is one line on standard error):\n"
    "  0    the new pair is in place (--check: it would be)\n"
    "  1    an archive argument or FOLDER was refused, a file-system step failed, or a killed\n"
    "       run's record could not be settled (it is left for a person to judge)\n"
    "  2    usage: the command line is wrong; nothing ran\n"
    "  3    not installed: the archives make no whole pair, or a failed swap was undone; the\n"
    "       previous pair is in place\n"
    "  75   another update holds FOLDER; nothing ran\n"
    "  128+N  signal N ended the run: the pair whole, the agent loaded again if it had been\n"
    "       unloaded\n";

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
